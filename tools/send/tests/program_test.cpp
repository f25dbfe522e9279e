// zelvo-send as scripts run it: against the gateway simulator and against
// scripted peers, its exit status and what it prints.
#include <gtest/gtest.h>

#include <fstream>

#include "../../gateway/tests/gateway_fixture.h"
#include "fake_peer.h"
#include "process.h"

namespace zelvotest {
namespace {

const std::string kSend = ZELVO_SEND_BIN;
const std::map<std::string, std::string> kDemoKey = {{"ZELVONET_KEY", "geheim"}};

std::vector<std::string> demoArgs(std::uint16_t port, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {kSend,     "--gateway", "127.0.0.1:" + std::to_string(port),
                                     "--kdnr",  "12345",     "--firma",
                                     "1",       "--user",    "tst",
                                     "--to",    "01711234567"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A reply as a gateway or a proxy might send it.
PeerScript replying(std::string reply) {
    PeerScript s;
    s.pieces = {std::move(reply)};
    return s;
}

TEST(SendAgainstSimulator, AcceptedPrintsOKAndExitsZero) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    const Finished f = run(demoArgs(gw.port(), {"Grüße", "aus", "Köln"}), kDemoKey);
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(f.out, "OK\n");
    EXPECT_EQ(f.err, "");
    const auto records = outboxRecords(gw.outbox());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["msg"], "Grüße aus Köln");
    EXPECT_EQ(records[0]["test"], false);
    EXPECT_EQ(records[0]["time"], nullptr);
}

TEST(SendAgainstSimulator, RefusedPrintsTheGatewaysLineInUtf8AndExitsOne) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    const Finished f = run(demoArgs(gw.port(), {"Hallo"}), {{"ZELVONET_KEY", "falsch"}});
    EXPECT_EQ(f.status, 1) << f.err;
    EXPECT_EQ(f.out, "Schlüssel falsch\n");
    const Finished unknown = run(
        {kSend, "--gateway", "127.0.0.1:" + std::to_string(gw.port()), "--kdnr", "999", "--firma",
         "1", "--user", "tst", "--to", "0171123", "x"},
        kDemoKey);
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "Kunde unbekannt\n");
    EXPECT_EQ(readFile(gw.outbox()), "");
}

TEST(SendAgainstSimulator, EveryOptionArrivesAsTyped) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    const std::string dir = gw.dir();
    std::ofstream(dir + "/key") << "geheim\n";
    const Finished f = run(
        {kSend, "--gateway", "127.0.0.1:" + std::to_string(gw.port()), "--kdnr", "12345",
         "--firma", "1", "--user", "tst", "--to", "+49 171 1234567", "--time",
         "24.12.2026 18:00+01", "--test", "--key-file", dir + "/key"},
        {{"ZELVONET_KEY", "falsch"}},  // the file wins
        "Zeile 1\r\nZeile 2 & 100%\n");
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(f.out, "OK\n");
    const auto records = outboxRecords(gw.outbox());
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];
    EXPECT_EQ(r["receiver"], "+491711234567");
    EXPECT_EQ(r["time"], "24.12.2026 18:00+01");
    EXPECT_EQ(r["test"], true);
    EXPECT_EQ(r["msg"], "Zeile 1\\nZeile 2 & 100%");
    EXPECT_EQ(r["text"], "Zeile 1\nZeile 2 & 100%");
    std::remove((dir + "/key").c_str());
}

TEST(SendAgainstSimulator, ThroughAProxyTheAbsoluteFormIsUsed) {
    RunningGateway gw;  // plays the proxy and the gateway behind it
    ASSERT_TRUE(gw.started()) << gw.error();
    const Finished f = run({kSend, "--proxy", "127.0.0.1:" + std::to_string(gw.port()), "--kdnr",
                            "12345", "--firma", "1", "--user", "tst", "--to", "0171123", "über",
                            "Proxy"},
                           kDemoKey);
    EXPECT_EQ(f.status, 0) << f.err;
    ASSERT_EQ(outboxRecords(gw.outbox()).size(), 1u);
    EXPECT_EQ(outboxRecords(gw.outbox())[0]["msg"], "über Proxy");
}

TEST(SendAgainstSimulator, TheLimitAndTheReplacementAsTheDesktopCountsThem) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    std::string full;
    for (int i = 0; i < 79; ++i) full += "ä";
    full += "\n";
    for (int i = 0; i < 80; ++i) full += "ö";  // 160 characters with the line break
    const Finished ok = run(demoArgs(gw.port()), kDemoKey, full + "\n");
    EXPECT_EQ(ok.status, 0) << ok.err;
    const Finished over = run(demoArgs(gw.port()), kDemoKey, full + "!\n");
    EXPECT_EQ(over.status, 64);
    EXPECT_NE(over.err.find("161 characters"), std::string::npos) << over.err;

    const Finished euro = run(demoArgs(gw.port(), {"5 €"}), kDemoKey);
    EXPECT_EQ(euro.status, 64);
    EXPECT_NE(euro.err.find("U+20AC"), std::string::npos) << euro.err;
    const Finished replaced = run(demoArgs(gw.port(), {"--replace", "5 €"}), kDemoKey);
    EXPECT_EQ(replaced.status, 0) << replaced.err;

    const auto records = outboxRecords(gw.outbox());
    ASSERT_EQ(records.size(), 2u) << "a refused message reached the gateway";
    EXPECT_EQ(records[0]["text"].get<std::string>().size(), 79 * 2 + 1 + 80 * 2u);
    EXPECT_EQ(records[1]["msg"], "5 ?");
}

TEST(SendAgainstFakes, TheAnswerLineIsTakenAsTheGatewaySentIt) {
    struct Case {
        std::string reply;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 200 OK\r\n\r\nOK", 0, "OK\n"},
        {"HTTP/1.1 200 OK\r\n\r\nOK\nweitere Zeilen", 0, "OK\n"},
        {"HTTP/1.1 200 OK\r\n\r\nOK\r\n", 1, "OK\\x0d\n"},
        {"HTTP/1.1 500 Error\r\n\r\nPreis 5 \x80, \x84" "falsch\x93\n", 1,
         "Preis 5 €, „falsch“\n"},
        {"HTTP/1.1 200 OK\r\n\r\n", 1, "\n"},
    };
    for (const auto& c : cases) {
        FakePeer peer(replying(c.reply));
        const Finished f = run(demoArgs(peer.port(), {"Hallo"}), kDemoKey);
        EXPECT_EQ(f.status, c.status) << c.reply;
        EXPECT_EQ(f.out, c.out) << c.reply;
    }
}

TEST(SendAgainstFakes, NoEvaluableAnswerAfterTheRequestIsUnknown) {
    {
        PeerScript silentClose;  // reads the request, closes without a byte
        FakePeer peer(silentClose);
        const Finished f = run(demoArgs(peer.port(), {"Hallo"}), kDemoKey);
        EXPECT_EQ(f.status, 3) << f.err;
        EXPECT_EQ(f.out, "");
        EXPECT_NE(f.err.find("[ERROR] Verbindung zum Server aus unbekannten Gründen fehlgeschlagen"),
                  std::string::npos)
            << f.err;
        EXPECT_NE(f.err.find("may have been delivered"), std::string::npos);
    }
    {
        FakePeer peer(replying("HTTP/1.1 200 OK\nContent-Length: 2\n\nOK"));
        const Finished f = run(demoArgs(peer.port(), {"Hallo"}), kDemoKey);
        EXPECT_EQ(f.status, 3);
        EXPECT_NE(f.err.find("entspricht nicht dem erwarteten Format"), std::string::npos) << f.err;
    }
    {
        PeerScript silent;  // reads the request and then says nothing
        silent.end = PeerScript::End::KeepOpen;
        silent.holdMs = 5000;
        FakePeer peer(silent);
        const Finished f = run(demoArgs(peer.port(), {"--timeout", "1", "Hallo"}), kDemoKey);
        EXPECT_EQ(f.status, 3);
        EXPECT_NE(f.err.find("[ERROR] Keine Antwort von 127.0.0.1 - Versand ungewiss"),
                  std::string::npos)
            << f.err;
    }
}

TEST(SendAgainstFakes, NoConnectionIsALocalFailure) {
    const std::uint16_t port = closedPort();
    const Finished f = run(demoArgs(port, {"Hallo"}), kDemoKey);
    EXPECT_EQ(f.status, 2);
    EXPECT_EQ(f.out, "");
    EXPECT_NE(f.err.find("[ERROR] Verbindung konnte nicht etabliert werden: 127.0.0.1 reagiert nicht"),
              std::string::npos)
        << f.err;
    EXPECT_NE(f.err.find("nothing was sent"), std::string::npos);
    const Finished proxy = run({kSend, "--proxy", "127.0.0.1:" + std::to_string(port), "--kdnr",
                                "1", "--firma", "1", "--user", "u", "--to", "0171123", "x"},
                               kDemoKey);
    EXPECT_EQ(proxy.status, 2);
}

TEST(SendAgainstFakes, TheRequestCarriesTheValuesAsTheGatewayDecodesThem) {
    PeerScript script = replying("HTTP/1.1 200 OK\r\n\r\nOK");
    FakePeer peer(script);
    const Finished f = run(demoArgs(peer.port(), {"--test", "Grüße\nzwei"}),
                           {{"ZELVONET_KEY", "gé heim&"}});
    EXPECT_EQ(f.status, 0) << f.err;
    const std::string request = peer.request();
    EXPECT_NE(request.find("&key=g%e9+heim%26&msg=Gr%fc%dfe%5cnzwei&receiver=01711234567"),
              std::string::npos)
        << request;
    EXPECT_NE(request.find("&test=1 HTTP/1.1\nHOST: 127.0.0.1\n"), std::string::npos) << request;
}

TEST(SendKey, TheKeyIsNeverTakenFromTheCommandLine) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    for (const std::vector<std::string>& key :
         {std::vector<std::string>{"--key", "geheim"}, std::vector<std::string>{"--key=geheim"}}) {
        auto args = demoArgs(gw.port(), key);
        args.push_back("Hallo");
        const Finished f = run(args, {{"ZELVONET_KEY", ""}});
        EXPECT_EQ(f.status, 64);
        EXPECT_EQ(f.out, "");
        EXPECT_NE(f.err.find("ZELVONET_KEY"), std::string::npos) << f.err;
        EXPECT_EQ(f.err.find("geheim"), std::string::npos) << "the key was repeated: " << f.err;
    }
    // After "--" it is message text, not an option.
    const Finished text = run(demoArgs(gw.port(), {"--", "--key", "ist", "Text"}), kDemoKey);
    EXPECT_EQ(text.status, 0) << text.err;
    ASSERT_EQ(outboxRecords(gw.outbox()).size(), 1u);
    EXPECT_EQ(outboxRecords(gw.outbox())[0]["msg"], "--key ist Text");

    const Finished none = run(demoArgs(gw.port(), {"Hallo"}), {{"ZELVONET_KEY", ""}});
    EXPECT_EQ(none.status, 64);
    EXPECT_NE(none.err.find("no key"), std::string::npos) << none.err;
    const Finished missing =
        run(demoArgs(gw.port(), {"--key-file", gw.dir() + "/nothing", "Hallo"}), kDemoKey);
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read the key file"), std::string::npos) << missing.err;
    EXPECT_EQ(outboxRecords(gw.outbox()).size(), 1u);
}

TEST(SendUsage, BadInvocationsExit64BeforeAnythingIsSent) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    const std::string gwArg = "127.0.0.1:" + std::to_string(gw.port());
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{kSend, "--gateway", gwArg, "--firma", "1", "--user", "tst", "--to", "0171123", "x"},
         "", "--kdnr"},
        {{kSend, "--gateway", gwArg, "--kdnr", "12345", "--user", "tst", "--to", "0171123", "x"},
         "", "--firma"},
        {{kSend, "--gateway", gwArg, "--kdnr", "12345", "--firma", "1", "--to", "0171123", "x"},
         "", "--user"},
        {{kSend, "--gateway", gwArg, "--kdnr", "12345", "--firma", "1", "--user", "tst", "x"},
         "", "--to"},
        {demoArgs(gw.port(), {"--firma", "eins", "x"}), "", "firma"},
        {demoArgs(gw.port(), {"--bogus", "x"}), "", "bogus"},
        {demoArgs(gw.port()), "", "empty"},
        {demoArgs(gw.port()), "\n", "empty"},
        {demoArgs(gw.port(), {"\xff"}), "", "not valid UTF-8"},
        {demoArgs(gw.port(), {"--to", "0171&key=x", "x"}), "", "--to"},
        {demoArgs(gw.port(), {"--kdnr", "1 2", "x"}), "", "--kdnr"},
        {demoArgs(gw.port(), {"--gateway", "127.0.0.1:0", "x"}), "", "--gateway"},
        {demoArgs(gw.port(), {"--proxy", "127.0.0.1", "x"}), "", "--proxy"},
        {demoArgs(gw.port(), {"--timeout", "0", "x"}), "", "--timeout"},
        {demoArgs(gw.port(), {"--user", "Jürgen€", "x"}), "", "--user"},
    };
    for (const auto& c : cases) {
        const Finished f = run(c.args, kDemoKey, c.input);
        EXPECT_EQ(f.status, 64) << c.says << ": " << f.err;
        EXPECT_NE(f.err.find(c.says), std::string::npos) << f.err;
        EXPECT_EQ(f.out, "");
    }
    EXPECT_TRUE(gw.log().empty()) << "a request reached the gateway: " << gw.log()[0];
}

TEST(SendUsage, HelpDocumentsTheExitStatusesAndVersionTheProjectVersion) {
    const Finished help = run({kSend, "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"--kdnr", "--firma", "--user", "--to", "--time", "--test", "--proxy",
                             "--gateway", "--key-file", "--replace", "ZELVONET_KEY", "Exit status",
                             "  0 ", "  1 ", "  2 ", "  3 ", "  64 "}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    const Finished version = run({kSend, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("zelvo-send ") + ZELVO_VERSION + "\n");
}

}  // namespace
}  // namespace zelvotest
