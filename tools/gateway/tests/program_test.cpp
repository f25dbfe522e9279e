// The zelvo-gateway program as a user starts it: requests as the library sends
// them, the verdict on each query in the order of its checks, the outbox and
// the log, signals, a port in use, its options.
#include <gtest/gtest.h>

#include <algorithm>

#include "gateway_fixture.h"

namespace zelvotest {
namespace {

const std::string kTail = " HTTP/1.1\nHOST: localhost\nConnection: close\n\n";
const std::string kQuery = "?kdnr=12345&firma=1&user=tst&key=geheim&receiver=0171123&msg=";
const std::string kOK = "HTTP/1.1 200 OK | OK";

// The reply's status line and body.
std::string answer(std::uint16_t port, const std::string& request) {
    return std::regex_replace(exchange(port, request), std::regex("\r\n[\\s\\S]*?\r\n\r\n"), " | ",
                              std::regex_constants::format_first_only);
}

TEST(Gateway, AnswersStoresAndLogsEachRequestAsTheLibrarySendsItAndARestartAppends) {
    Simulator sim;
    ASSERT_NE(sim.port(), 0);
    // The log is read only at the end: these lines are far more than a pipe holds.
    int ok = 0;
    for (int i = 0; i < 300; ++i)
        ok += answer(sim.port(), "GET /ZelvoServlet" + kQuery + std::to_string(i) +
                                     std::string(120, 'x') + kTail) == kOK;
    EXPECT_EQ(ok, 300);
    // Each query gets its line and status, in the order of the checks.
    const std::string who = "kdnr=12345&firma=1&user=tst", k = who + "&key=geheim";
    const std::string m = k + "&receiver=0171123&msg=", a159(159, 'a');
    std::string umlauts;
    for (int i = 0; i < 160; ++i) umlauts += "%e4";
    std::vector<std::pair<std::string, std::vector<std::string>>> groups = {
        {"OK",
         {k + "&receiver=01711234567&msg=Hallo+Welt", m + "a&test=1&time=1&ip=1&localuser=e&host=p",
          k + "&receiver=%2b491711234567&msg=Gr%fc%DFe", k + "&receiver=123&msg=" + umlauts,
          k + "&receiver=12345678901234567890&msg=" + a159 + "%5cn"}},
        {"Nachricht l\xe4nger als 160 Zeichen", {m + a159 + "%5cnb", m + a159 + "ab"}},
        {"Nachricht ist leer", {m}},
        {"Empf\xe4nger ung\xfcltig",
         {k + "&receiver=%2b49&msg=", k + "&receiver=+491711234567&msg=a",
          k + "&receiver=0171-1234&msg=a", k + "&receiver=123456789012345678901&msg=a"}},
        {"Empf\xe4nger fehlt", {k + "&receiver=&msg=", k + "&msg=a"}},
        {"Schl\xfcssel falsch",
         {who + "&key=Geheim&msg=", who + "&key=geheim+&receiver=0171123&msg=a",
          who + "&key=gehei&receiver=0171123&msg=a"}},
        {"Kunde unbekannt",
         {"kdnr=99999&firma=1&user=tst&key=x", "kdnr=12345&firma=2&user=tst&key=geheim",
          "kdnr=12345&firma=-1&user=tst&key=geheim", "kdnr=12345&firma=1&user=Tst&key=geheim"}},
        // Fields missing; broken escapes, pairs without "=" or key, a repeated key; bad values.
        {"Anfrage fehlerhaft",
         {"", "firma=1&user=tst&key=k", "kdnr=1&user=tst&key=k", "kdnr=1&firma=1&key=k",
          who + "&receiver=0171123&msg=a", "kdnr=1&firma=eins&user=tst&key=k",
          "kdnr=1&firma=1.0&user=tst&key=k", "kdnr=1&firma=&user=tst&key=k",
          "kdnr=1&firma=-&user=tst&key=k", "kdnr=1&firma=2147483648&user=tst&key=k"}},
    };
    for (const char* end : {"a&test=0", "a&test=", "%", "%e", "%g0", "%0x", "x%%41", "a&", "a&=1",
                            "a&kdnr=12345", "a&msg", "a&ke%y=1"})
        groups.back().second.push_back(m + end);
    long accepted = 0;
    for (const auto& [line, queries] : groups) {
        for (const std::string& query : queries) {
            EXPECT_EQ(
                answer(sim.port(), "GET /ZelvoServlet?" + query + kTail),
                (line[0] == 'A' ? "HTTP/1.1 400 Bad Request | " : "HTTP/1.1 200 OK | ") + line)
                << query;
            accepted += line == "OK";
        }
    }
    const std::string query =
        "kdnr=12345&firma=1&user=tst&key=geheim&msg=Gr%FC%dfe%5cn%c4rger+%26+100%25"
        "&receiver=%2b491711234567&ip=10.0.0.7&localuser=eva&host=pc7";
    const std::string record =
        R"({"received":"*","test":false,"kdnr":"12345","firma":1,"user":"tst","key":"***",)"
        R"("receiver":"+491711234567","msg":"Grüße\\nÄrger & 100%","text":"Grüße\nÄrger & 100%",)"
        R"("time":"24.12.2026 18:00","ip":"10.0.0.7","localuser":"eva","host":"pc7","peer":"*"})"
        "\n";
    EXPECT_EQ(blank(exchange(sim.port(),
                             "GET /ZelvoServlet?" + query + "&time=24.12.2026%2018:00" + kTail),
                    "Date: .*\r\n", ""),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/plain; "
              "charset=ISO-8859-1\r\nContent-Length: 2\r\n\r\nOK");
    EXPECT_NE(sim.records().find(record), std::string::npos);  // on disk once the answer is there
    for (const auto& [request, reply] : std::vector<std::pair<std::string, std::string>>{
             {"GET http://localhost:8080/ZelvoServlet?" + query + "&test=1" + kTail, kOK},
             {"GET /ZelvoServlet?kdnr=12345&firma=1&user=tst&key=Geheim&receiver=0171&msg=a%0ab%1b"
              "%5b2Jc%85%7f" +
                  kTail,
              "HTTP/1.1 200 OK | Schl\xfcssel falsch"},
             {"GET http://localhost:8080/ZelvoServlet2" + kQuery + "a" + kTail,
              "HTTP/1.1 404 Not Found | Unbekannter Pfad"},
             {"POST /ZelvoServlet" + kQuery + "a HTTP/1.1\nHOST: localhost\nContent-Length: 0\n\n",
              "HTTP/1.1 405 Method Not Allowed | Nur GET erlaubt"}}) {
        EXPECT_EQ(answer(sim.port(), request), reply) << request;
    }
    const std::string tested =
        blank(record, R"x("test":false(.*)"time":"[^"]*")x", R"("test":true$1"time":null)");
    EXPECT_NE(sim.records().find(record + tested), std::string::npos);

    Finished f = sim.stop();
    EXPECT_EQ(f.status, 0) << f.err;
    const std::string log = blank(f.out, R"(\d{4}-\d\d-\d\d [\d:]{8} 127\.0\.0\.1:\d+ )", "");
    EXPECT_NE(
        log.find("\n200 \"OK\" kdnr=12345 firma=1 user=tst to=+491711234567 time=24.12.2026 18:00 "
                 "from=eva@pc7/10.0.0.7 text=\"Grüße↵Ärger & 100%\"\n"
                 "200 \"OK\" kdnr=12345 firma=1 user=tst to=+491711234567 TEST "
                 "from=eva@pc7/10.0.0.7 text=\"Grüße↵Ärger & 100%\"\n"
                 "200 \"Schlüssel falsch\" kdnr=12345 firma=1 user=tst to=0171 from=@/ "
                 "text=\"a↵b\\x1b[2Jc\\x85\\x7f\"\n"
                 "404 \"Unbekannter Pfad\" path=/ZelvoServlet2\n"
                 "405 \"Nur GET erlaubt\" method=POST path=/ZelvoServlet\n"
                 "zelvo-gateway stopped (SIGTERM)\n"),
        std::string::npos)
        << log;
    // The first line names the demo account; no other line, nor the outbox, the key.
    EXPECT_EQ((log.substr(log.find('\n')) + readFile(sim.outbox())).find("geheim"),
              std::string::npos);
    sim.start();
    EXPECT_EQ(answer(sim.port(), "GET /ZelvoServlet" + kQuery + "again" + kTail), kOK);
    f = sim.stop(SIGINT);
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.out.find("\nzelvo-gateway stopped (SIGINT)\n"), std::string::npos);
    const std::string outbox = readFile(sim.outbox());
    EXPECT_EQ(std::count(outbox.begin(), outbox.end(), '\n'), 303 + accepted) << "each once";
}

TEST(Gateway, AMessageTheOutboxCannotTakeIsNotConfirmed) {
    // Files may grow to 1024 bytes: the outbox holds 1000, the next line does not fit.
    Simulator sim({}, {"/bin/sh", "-c", "ulimit -f 2 && exec \"$0\" \"$@\""});
    ASSERT_NE(sim.port(), 0);
    std::ofstream(sim.outbox()) << std::string(999, 'x') << "\n";
    EXPECT_EQ(answer(sim.port(), "GET /ZelvoServlet" + kQuery + "a" + kTail),
              "HTTP/1.1 500 Internal Server Error | Nachricht nicht gespeichert");
    const Finished f = sim.stop();
    EXPECT_EQ(f.status, 0) << f.err;
    EXPECT_NE(f.err.find("message not stored, not confirmed"), std::string::npos) << f.err;
}

TEST(Gateway, AccountsReplaceTheDemoAccountAndAPortInUseOrBadOptionsStopTheStart) {
    Simulator first;
    ASSERT_NE(first.port(), 0);
    const std::string dir = first.dir();
    std::ofstream(dir + "/accounts") << "# Testkonten\n\n700:1:tst:s\xc3\xbc\xc3\x9f\r\n";
    std::ofstream(dir + "/bad") << "500:1:tst\n";
    std::ofstream(dir + "/empty") << "# keine\n";
    {
        Simulator sim({"--account", "500:1:tst:eins", "--account", "600:1:tst:zw:ei", "--accounts",
                       dir + "/accounts"});
        for (const std::string who :
             {"kdnr=500&firma=1&user=tst&key=eins", "kdnr=600&firma=1&user=tst&key=zw%3aei",
              "kdnr=700&firma=1&user=tst&key=s%fc%df", "kdnr=12345&firma=1&user=tst&key=geheim"})
            EXPECT_EQ(
                answer(sim.port(), "GET /ZelvoServlet?" + who + "&receiver=017&msg=a" + kTail),
                who.find("12345") != std::string::npos ? "HTTP/1.1 200 OK | Kunde unbekannt" : kOK);
    }
    const struct {
        std::string command;  // for a shell: $B the program, $G with a free port and an outbox
        int status;
        std::string says;
    } cases[] = {
        {"$B $O --listen " + first.where(), 1,
         "port " + std::to_string(first.port()) + " on 127.0.0.1 is already in use"},
        {"$B $O --listen 127.0.0.1", 64, "--listen wants ADDR:PORT"},
        {"$B $O --listen 127.0.0.1:70000", 64, "--listen wants ADDR:PORT"},
        {"$B $O --listen 256.1.1.1:0", 1, "cannot resolve 256.1.1.1"},
        {"$G --account 500:x:tst:k", 64, "--account: the company number"},
        {"$G --account '5&0:1:tst:k'", 64, "--account: the customer number"},
        {"$G --account 500:1:tst:", 64, "--account: the key is empty"},
        {"$G --account 500:1:€:k", 64, "--account: user and key must be"},
        {"$G --bogus", 64, "--bogus"},
        {"$G --accounts $D/none", 1, "none: No such file or directory"},
        {"$G --accounts $D/bad", 1, "bad:1: an account is KDNR:FIRMA:USER:KEY"},
        {"$G --accounts $D/empty", 1, "empty holds no account"},
        {"$B --listen 127.0.0.1:0 --outbox $D/no/o", 1, "no/o: No such file or directory"},
        {"$B --help", 0, "12345:1:tst:geheim"},
        {"$B --version", 0, "zelvo-gateway " ZELVO_VERSION "\n"},
    };
    for (const auto& c : cases) {
        const Finished f =
            run({"/bin/sh", "-c",
                 "B=" ZELVO_GATEWAY_BIN " D=" + dir +
                     "; O=\"--outbox $D/o\"; G=\"$B --listen 127.0.0.1:0 $O\"; " + c.command},
                {}, "", 10000);
        EXPECT_EQ(f.status, c.status) << c.command << ": " << f.err;
        EXPECT_NE((f.out + f.err).find(c.says), std::string::npos) << f.out << f.err;
        EXPECT_EQ(f.out.find("listening"), std::string::npos) << f.out;
    }
}

}  // namespace
}  // namespace zelvotest
