// The zelvo-gateway program as a user starts it: options, start-up line,
// signals, a port in use, a restart on the same outbox.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "gateway_fixture.h"
#include "process.h"
#include "send_core.h"

namespace zelvotest {
namespace {

const std::string kGateway = ZELVO_GATEWAY_BIN;

// The port from the start-up line, 0 when there is none.
std::uint16_t portFrom(const std::string& line) {
    const std::string mark = "listening on 127.0.0.1:";
    const auto at = line.find(mark);
    if (at == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::stoi(line.substr(at + mark.size())));
}

std::string sendOne(std::uint16_t port, const char* kdnr, const char* key, const char* msg) {
    zelvonet::Message m;
    m.kdnr = kdnr;
    m.firma = 1;
    m.user = "tst";
    m.key = key;
    m.msg = msg;
    m.receiver = "01711234567";
    char answer[100] = {};
    zelvonet::send(m, zelvonet::Gateway{"127.0.0.1", port, "/ZelvoServlet"},
                   zelvonet::Timeouts{5000, 5000, 10000}, answer, sizeof answer);
    return answer;
}

class Program : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = makeTempDir(); }
    void TearDown() override { run({"/bin/rm", "-rf", dir_}); }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_F(Program, ServesStopsOnASignalAndARestartAppendsToTheSameOutbox) {
    const std::string outbox = path("outbox.jsonl");
    for (int round = 0; round < 2; ++round) {
        Process gw({kGateway, "--listen", "127.0.0.1:0", "--outbox", outbox});
        const std::uint16_t port = portFrom(gw.waitForLine("listening on"));
        ASSERT_NE(port, 0) << gw.finish(1000).err;
        const std::string text = "Runde " + std::to_string(round);
        EXPECT_EQ(sendOne(port, "12345", "geheim", text.c_str()), "OK");
        const std::string logged = gw.waitForLine("\"OK\"");
        EXPECT_NE(logged.find("text=\"" + text + "\""), std::string::npos) << logged;
        gw.signal(round == 0 ? SIGTERM : SIGINT);
        const Finished f = gw.finish();
        EXPECT_EQ(f.status, 0) << f.err;
        EXPECT_NE(f.out.find("stopped"), std::string::npos) << f.out;
    }
    const auto records = outboxRecords(outbox);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["msg"], "Runde 0");
    EXPECT_EQ(records[1]["msg"], "Runde 1");
}

TEST_F(Program, AMessageTheOutboxCannotTakeIsNotConfirmed) {
    // The outbox is 1000 bytes long and may grow to 1024: the next line fails.
    const std::string outbox = path("outbox.jsonl");
    std::ofstream(outbox) << std::string(999, 'x') << "\n";
    Process gw({"/bin/sh", "-c", "ulimit -f 2 && exec \"$0\" \"$@\"", kGateway, "--listen",
                "127.0.0.1:0", "--outbox", outbox});
    const std::uint16_t port = portFrom(gw.waitForLine("listening on"));
    ASSERT_NE(port, 0) << gw.finish(1000).err;
    EXPECT_EQ(sendOne(port, "12345", "geheim", "passt nicht mehr"), "Nachricht nicht gespeichert");
    EXPECT_EQ(sendOne(port, "12345", "geheim", "auch nicht"), "Nachricht nicht gespeichert");
    gw.signal(SIGTERM);
    const Finished f = gw.finish();
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.err.find("message not stored, not confirmed"), std::string::npos) << f.err;
}

TEST_F(Program, AReaderThatStopsReadingTheLogHoldsUpNoAnswer) {
    Process gw({kGateway, "--listen", "127.0.0.1:0", "--outbox", path("outbox.jsonl")});
    const std::uint16_t port = portFrom(gw.waitForLine("listening on"));
    ASSERT_NE(port, 0);
    // Standard output is no longer read: some 600 KiB of log lines against
    // a pipe that holds 64 KiB.
    const std::string text(150, 'x');
    int ok = 0;
    for (int i = 0; i < 2000; ++i) ok += sendOne(port, "12345", "geheim", text.c_str()) == "OK";
    EXPECT_EQ(ok, 2000);
    EXPECT_EQ(outboxRecords(path("outbox.jsonl")).size(), 2000u);
    gw.signal(SIGTERM);
    const Finished f = gw.finish();
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.out.find("stopped"), std::string::npos);
}

TEST_F(Program, RefusesToStartWhenItsPortIsTaken) {
    Process first({kGateway, "--listen", "127.0.0.1:0", "--outbox", path("a.jsonl")});
    const std::uint16_t port = portFrom(first.waitForLine("listening on"));
    ASSERT_NE(port, 0);
    const Finished second = run(
        {kGateway, "--listen", "127.0.0.1:" + std::to_string(port), "--outbox", path("b.jsonl")});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("port " + std::to_string(port) + " on 127.0.0.1 is already in use"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.out.find("listening"), std::string::npos);
    // The first one is untouched.
    EXPECT_EQ(sendOne(port, "12345", "geheim", "noch da"), "OK");
}

TEST_F(Program, AccountsFromOptionsOrAFileReplaceTheDemoAccount) {
    {
        Process gw({kGateway, "--listen", "127.0.0.1:0", "--outbox", path("o1.jsonl"),
                    "--account", "500:1:tst:eins", "--account", "600:1:tst:zw:ei"});
        const std::uint16_t port = portFrom(gw.waitForLine("listening on"));
        ASSERT_NE(port, 0);
        EXPECT_EQ(sendOne(port, "500", "eins", "a"), "OK");
        EXPECT_EQ(sendOne(port, "600", "zw:ei", "b"), "OK");
        EXPECT_EQ(sendOne(port, "12345", "geheim", "c"), "Kunde unbekannt");
    }
    {
        std::ofstream(path("accounts")) << "# Testkonten\n\n700:1:tst:s\xc3\xbc\xc3\x9f\r\n";
        Process gw({kGateway, "--listen", "127.0.0.1:0", "--outbox", path("o2.jsonl"),
                    "--accounts", path("accounts")});
        const std::uint16_t port = portFrom(gw.waitForLine("listening on"));
        ASSERT_NE(port, 0);
        EXPECT_EQ(sendOne(port, "700", "s\xfc\xdf", "d"), "OK");  // the key in Latin-1
        EXPECT_EQ(sendOne(port, "12345", "geheim", "e"), "Kunde unbekannt");
    }
}

TEST_F(Program, UsageErrorsAndUnusableFilesAreReportedBeforeListening) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    std::ofstream(path("bad-accounts")) << "500:1:tst\n";
    std::ofstream(path("empty-accounts")) << "# none\n";
    const std::vector<Case> cases = {
        {{"--listen", "127.0.0.1"}, 64, "--listen wants ADDR:PORT"},
        {{"--listen", "127.0.0.1:70000"}, 64, "--listen wants ADDR:PORT"},
        {{"--account", "500:x:tst:k"}, 64, "company number"},
        {{"--bogus"}, 64, "bogus"},
        {{"--accounts", path("missing")}, 1, "missing"},
        {{"--accounts", path("bad-accounts")}, 1, "bad-accounts:1:"},
        {{"--accounts", path("empty-accounts")}, 1, "holds no account"},
        {{"--outbox", path("no/such/dir/outbox")}, 1, "No such file or directory"},
        {{"--listen", "256.1.1.1:0"}, 1, "cannot resolve"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {kGateway};
        if (c.args[0] != "--listen") argv.insert(argv.end(), {"--listen", "127.0.0.1:0"});
        if (c.args[0] != "--outbox") argv.insert(argv.end(), {"--outbox", path("o.jsonl")});
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const Finished f = run(argv, {}, "", 10000);
        EXPECT_EQ(f.status, c.status) << c.args[0] << ": " << f.err;
        EXPECT_NE(f.err.find(c.says), std::string::npos) << f.err;
        EXPECT_EQ(f.out.find("listening"), std::string::npos) << f.out;
    }
}

TEST_F(Program, HelpNamesTheDemoAccountAndVersionTheProjectVersion) {
    const Finished help = run({kGateway, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("12345:1:tst:geheim"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("--listen"), std::string::npos);
    EXPECT_NE(help.out.find("Exit status"), std::string::npos);
    const Finished version = run({kGateway, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("zelvo-gateway ") + ZELVO_VERSION + "\n");
}

}  // namespace
}  // namespace zelvotest
