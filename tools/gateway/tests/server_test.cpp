// The simulator in-process, reached by the library's own send path and by
// hand-made requests.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "gateway_fixture.h"
#include "send_core.h"

namespace zelvotest {
namespace {

struct Sent {
    zelvonet::SendResult result;
    std::string answer;
};

zelvonet::Message demoMessage(const char* msg = "Hallo Welt") {
    zelvonet::Message m;
    m.kdnr = "12345";
    m.firma = 1;
    m.user = "tst";
    m.key = "geheim";
    m.msg = msg;
    m.receiver = "01711234567";
    return m;
}

Sent sendTo(std::uint16_t port, const zelvonet::Message& m) {
    const zelvonet::Gateway gw{"127.0.0.1", port, "/ZelvoServlet"};
    char answer[200] = {};
    const auto r = zelvonet::send(m, gw, zelvonet::Timeouts{5000, 5000, 10000}, answer,
                                  sizeof answer);
    return {r, answer};
}

constexpr char kRequestTail[] = " HTTP/1.1\nHOST: localhost\nConnection: close\n\n";
constexpr char kValidQuery[] =
    "?kdnr=12345&firma=1&user=tst&key=geheim&msg=Hallo&receiver=0171123&ip=&localuser=&host=";

TEST(Server, AcceptsTheRequestAsTheLibrarySendsItInBothForms) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    for (const std::string& target :
         {std::string("/ZelvoServlet"), std::string("http://localhost:8080/ZelvoServlet")}) {
        const std::string reply = exchange(gw.port(), "GET " + target + kValidQuery + kRequestTail);
        EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply;
        EXPECT_NE(reply.find("Content-Type: text/plain; charset=ISO-8859-1\r\n"), std::string::npos)
            << reply;
        EXPECT_NE(reply.find("Content-Length: 2\r\n"), std::string::npos) << reply;
        EXPECT_EQ(body(reply), "OK");  // and the connection was closed: exchange() returned
    }
    EXPECT_EQ(outboxRecords(gw.outbox()).size(), 2u);
}

TEST(Server, OtherPathsAndMethodsGetAOneLineRefusal) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    for (const char* path : {"/", "/zelvoservlet", "/ZelvoServlet/x", "/ZelvoServlet2",
                             "http://localhost:8080/other"}) {
        const std::string reply = exchange(gw.port(), std::string("GET ") + path + kValidQuery +
                                                          kRequestTail);
        EXPECT_EQ(reply.rfind("HTTP/1.1 404", 0), 0u) << path;
        EXPECT_EQ(body(reply), "Unbekannter Pfad");
    }
    const std::string post = exchange(
        gw.port(), std::string("POST /ZelvoServlet") + kValidQuery +
                       " HTTP/1.1\nHOST: localhost\nContent-Length: 0\nConnection: close\n\n");
    EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
    EXPECT_EQ(body(post), "Nur GET erlaubt");
    EXPECT_EQ(readFile(gw.outbox()), "");
    EXPECT_EQ(gw.log().size(), 6u);
}

TEST(Server, AMalformedQueryIsRefusedAndItsKeyNotLogged) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    const std::string reply = exchange(
        gw.port(),
        std::string("GET /ZelvoServlet?kdnr=12345&firma=1&user=tst&key=geheim&msg=%zz") +
            kRequestTail);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400", 0), 0u) << reply;
    EXPECT_EQ(body(reply), "Anfrage fehlerhaft");
    EXPECT_EQ(readFile(gw.outbox()), "");
    ASSERT_EQ(gw.log().size(), 1u);
    EXPECT_EQ(gw.log()[0].find("geheim"), std::string::npos) << gw.log()[0];
}

TEST(Server, EveryRefusalLineReachesTheLibraryAsARefusal) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    struct Case {
        zelvonet::Message m;
        std::string line;
    };
    std::vector<Case> cases;
    auto add = [&cases](auto change, std::string line) {
        zelvonet::Message m = demoMessage();
        change(m);
        cases.push_back({m, std::move(line)});
    };
    add([](zelvonet::Message& m) { m.kdnr = "54321"; }, "Kunde unbekannt");
    add([](zelvonet::Message& m) { m.key = "Geheim"; }, "Schl\xfcssel falsch");
    add([](zelvonet::Message& m) { m.receiver = ""; }, "Empf\xe4nger fehlt");
    add([](zelvonet::Message& m) { m.receiver = "+49171"; }, "Empf\xe4nger ung\xfcltig");
    add([](zelvonet::Message& m) { m.msg = ""; }, "Nachricht ist leer");
    static const std::string tooLong(161, 'x');
    add([](zelvonet::Message& m) { m.msg = tooLong.c_str(); }, "Nachricht l\xe4nger als 160 Zeichen");
    for (const auto& c : cases) {
        const Sent s = sendTo(gw.port(), c.m);
        EXPECT_EQ(s.result.outcome, zelvonet::Outcome::Refused) << c.line;
        EXPECT_EQ(s.answer, c.line);
    }
    EXPECT_EQ(readFile(gw.outbox()), "") << "a refused message was stored";
    EXPECT_EQ(gw.log().size(), cases.size());
}

TEST(Server, Latin1TextArrivesIntactInTheOutboxAsUtf8) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    // As the desktop program hands it over: Latin-1 bytes, line break escaped.
    zelvonet::Message m = demoMessage("Gr\xfc\xdf" "e aus K\xf6ln\\n\xc4rger? 100% & mehr");
    m.test = true;
    m.time = "24.12.2026 18:00";
    const Sent s = sendTo(gw.port(), m);
    ASSERT_EQ(s.result.outcome, zelvonet::Outcome::Accepted) << s.answer;
    EXPECT_EQ(s.answer, "OK");

    const auto records = outboxRecords(gw.outbox());
    ASSERT_EQ(records.size(), 1u);
    const auto& r = records[0];
    EXPECT_EQ(r["msg"], "Grüße aus Köln\\nÄrger? 100% & mehr");
    EXPECT_EQ(r["text"], "Grüße aus Köln\nÄrger? 100% & mehr");
    EXPECT_EQ(r["key"], "***");
    EXPECT_EQ(r["test"], true);
    EXPECT_EQ(r["kdnr"], "12345");
    EXPECT_EQ(r["firma"], 1);
    EXPECT_EQ(r["user"], "tst");
    EXPECT_EQ(r["receiver"], "01711234567");
    EXPECT_EQ(r["time"], "24.12.2026 18:00");
    for (const char* fact : {"ip", "localuser", "host", "received", "peer"}) {
        EXPECT_TRUE(r.contains(fact)) << fact;
    }
    EXPECT_EQ(readFile(gw.outbox()).find("geheim"), std::string::npos);

    ASSERT_EQ(gw.log().size(), 1u);
    const std::string line = gw.log()[0];
    EXPECT_NE(line.find("Grüße aus Köln↵Ärger"), std::string::npos) << line;
    EXPECT_NE(line.find("TEST"), std::string::npos) << line;
    EXPECT_EQ(line.find("geheim"), std::string::npos) << line;
}

TEST(Server, ControlCharactersCannotBreakTheLogLine) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    const Sent s = sendTo(gw.port(), demoMessage("a\nb\x1b[2Jc\x85"));
    ASSERT_EQ(s.result.outcome, zelvonet::Outcome::Accepted) << s.answer;
    ASSERT_EQ(gw.log().size(), 1u);
    const std::string line = gw.log()[0];
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    EXPECT_NE(line.find("a↵b\\x1b[2Jc\\x85"), std::string::npos) << line;
}

TEST(Server, TheOutboxLineIsOnDiskWhenTheAnswerArrives) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    for (int i = 0; i < 5; ++i) {
        const std::string text = "Nachricht " + std::to_string(i);
        const Sent s = sendTo(gw.port(), demoMessage(text.c_str()));
        ASSERT_EQ(s.answer, "OK");
        // Read at once, through another descriptor: the line is complete.
        const auto records = outboxRecords(gw.outbox());
        ASSERT_EQ(records.size(), static_cast<std::size_t>(i + 1));
        EXPECT_EQ(records.back()["msg"], text);
    }
}

TEST(Server, ThroughTheProxyFormTheSimulatorAnswersToo) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    zelvonet::Message m = demoMessage();
    m.proxyHost = "127.0.0.1";
    m.proxyPort = gw.port();
    char answer[100] = {};
    // The built-in gateway's name and port only appear in the absolute URL.
    const auto r = zelvonet::send(m, zelvonet::Gateway{"gateway.invalid", 8080, "/ZelvoServlet"},
                                  zelvonet::Timeouts{5000, 5000, 10000}, answer, sizeof answer);
    EXPECT_EQ(r.outcome, zelvonet::Outcome::Accepted) << answer;
    EXPECT_EQ(outboxRecords(gw.outbox()).size(), 1u);
}

TEST(Server, ConcurrentClientsAreAllStoredOnceOnLinesOfTheirOwn) {
    RunningGateway gw;
    ASSERT_TRUE(gw.started()) << gw.error();
    constexpr int kClients = 8;
    constexpr int kEach = 4;
    std::vector<std::thread> clients;
    std::vector<int> accepted(static_cast<std::size_t>(kClients), 0);
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([c, &gw, &accepted] {
            for (int i = 0; i < kEach; ++i) {
                const std::string text =
                    "Client " + std::to_string(c) + " Nachricht " + std::to_string(i) +
                    std::string(100, static_cast<char>('a' + c));
                if (sendTo(gw.port(), demoMessage(text.c_str())).answer == "OK") ++accepted[static_cast<std::size_t>(c)];
            }
        });
    }
    for (auto& t : clients) t.join();
    for (int c = 0; c < kClients; ++c) EXPECT_EQ(accepted[static_cast<std::size_t>(c)], kEach) << "client " << c;

    const auto records = outboxRecords(gw.outbox());  // every line parses
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kClients * kEach));
    std::set<std::string> texts;
    for (const auto& r : records) texts.insert(r["msg"].get<std::string>());
    EXPECT_EQ(texts.size(), records.size());
    EXPECT_EQ(gw.log().size(), records.size());
}

}  // namespace
}  // namespace zelvotest
