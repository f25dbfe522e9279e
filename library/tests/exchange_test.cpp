// Whole sends through the send core against scripted peers on loopback: the
// request on the wire, every error path with its text and result, time-outs
// with short values, bad peers, descriptors, threads and memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#include <algorithm>
#include <cerrno>

#include "expected_texts.h"
#include "fake_peer.h"
#include "local_facts.h"
#include "request.h"
#include "send_core.h"
#include "socket_layer.h"

using namespace zelvonet;
using zelvotest::FakePeer;
using zelvotest::PeerScript;

namespace {

using zelvotest::kBadFormat;
using zelvotest::kNoAnswerFromLoopback;
using zelvotest::kNothingReceived;
const std::string kOkReply = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nOK";

// Short time-outs keep the slow paths fast.
const Timeouts kShort{2000, 400, 400};

Message message() {
    Message m;
    m.kdnr = "12345";
    m.firma = 2;
    m.user = "tst";
    m.key = "geheim";
    m.msg = "Hallo Welt";
    m.receiver = "01711234567";
    return m;
}

Gateway loopback(std::uint16_t port) {
    return Gateway{"127.0.0.1", port, "/ZelvoServlet"};
}

struct Sent {
    SendResult r;
    std::string answer;
};

Sent sendTo(const Message& m, const Gateway& gw, const Timeouts& to = kShort, int size = 100) {
    char buf[256];
    std::memset(buf, '#', sizeof buf);
    Sent s;
    s.r = send(m, gw, to, buf, size);
    s.answer = size > 0 ? std::string(buf) : std::string();
    return s;
}

Sent sendToPeer(const PeerScript& script, const Timeouts& to = kShort, Message m = message()) {
    FakePeer peer(script);
    return sendTo(m, loopback(peer.port()), to);
}

PeerScript replying(std::vector<std::string> pieces) {
    PeerScript s;
    s.pieces = std::move(pieces);
    return s;
}

std::string expectedQuery(const Message& m) {
    const net::SocketLayer layer;
    return composeQuery(m, gatherLocalFacts());
}

// ------------------------------------------------------------ the request

TEST(Request, DirectFormByteForByte) {
    FakePeer peer(replying({kOkReply}));
    Message m = message();
    m.msg =
        "Gr\xfc\xdf"
        "e & mehr";
    m.time = "201212241800";
    m.test = true;
    const Sent s = sendTo(m, loopback(peer.port()));
    EXPECT_EQ(s.r.result, 0);
    EXPECT_EQ(s.answer, "OK");
    EXPECT_EQ(peer.request(), "GET /ZelvoServlet" + expectedQuery(m) +
                                  " HTTP/1.1\nHOST: 127.0.0.1\nConnection: close\n\n");
    EXPECT_NE(
        peer.request().find("&msg=Gr%fc%dfe+%26+mehr&receiver=01711234567&time=201212241800&ip="),
        std::string::npos);
}

TEST(Request, ProxyFormNamesTheGatewayNotTheProxy) {
    FakePeer proxy(replying({kOkReply}));
    Message m = message();
    m.proxyHost = "127.0.0.1";
    m.proxyPort = 65536 + proxy.port();  // only the low 16 bits count
    const Gateway gw{"gateway.invalid", 8080, "/ZelvoServlet"};
    const Sent s = sendTo(m, gw);
    EXPECT_EQ(s.r.result, 0) << s.answer;
    EXPECT_EQ(proxy.request(), "GET http://gateway.invalid:8080/ZelvoServlet" + expectedQuery(m) +
                                   " HTTP/1.1\nHOST: gateway.invalid\nConnection: close\n\n");
}

TEST(Request, EmptyProxyHostMeansDirect) {
    FakePeer peer(replying({kOkReply}));
    Message m = message();
    m.proxyHost = "";
    m.proxyPort = 1;  // ignored
    EXPECT_EQ(sendTo(m, loopback(peer.port())).r.result, 0);
    EXPECT_EQ(peer.request().rfind("GET /ZelvoServlet?kdnr=12345&", 0), 0u);
}

// ------------------------------------------------------------ error paths

TEST(Errors, MissingFieldsConnectNothing) {
    const char* names[] = {"kdnr", "user", "key", "msg", "receiver"};
    FakePeer peer(replying({kOkReply}));
    for (int i = 0; i < 5; ++i) {
        Message m = message();
        const char** field[] = {&m.kdnr, &m.user, &m.key, &m.msg, &m.receiver};
        *field[i] = nullptr;
        const Sent s = sendTo(m, loopback(peer.port()));
        EXPECT_EQ(s.r.result, 1);
        EXPECT_EQ(s.r.outcome, Outcome::Failed);
        EXPECT_EQ(s.answer, std::string("[ERROR] Pflichtfeld fehlt: ") + names[i]);
    }
    EXPECT_EQ(peer.handled(), 0u) << "nothing was connected";
}

TEST(Errors, LocalFailuresNameTheTarget) {
    const std::uint16_t closed = zelvotest::closedPort();
    struct Case {
        const char* label;
        const char* proxyHost;
        std::string gatewayHost;
        std::string expected;
    };
    const Case cases[] = {
        {"gateway refuses", nullptr, "127.0.0.1",
         "[ERROR] Verbindung konnte nicht etabliert werden: 127.0.0.1 reagiert nicht"},
        {"proxy refuses, named", "127.0.0.1", "gateway.invalid",
         "[ERROR] Verbindung konnte nicht etabliert werden: 127.0.0.1 reagiert nicht"},
        {"unknown gateway host", nullptr, "no-such-host.invalid",
         "[ERROR] Host nicht gefunden: no-such-host.invalid"},
        {"unknown proxy host", "proxy .invalid", "127.0.0.1",
         "[ERROR] Host nicht gefunden: proxy .invalid"},
    };
    for (const Case& c : cases) {
        Message m = message();
        m.proxyHost = c.proxyHost;
        m.proxyPort = closed;
        const Sent s = sendTo(m, Gateway{c.gatewayHost, closed, "/ZelvoServlet"});
        EXPECT_EQ(s.r.result, 1) << c.label;
        EXPECT_EQ(s.r.outcome, Outcome::Failed) << c.label;
        EXPECT_EQ(s.answer, c.expected) << c.label;
    }
}

TEST(Errors, RepliesThatCarryNoAnswer) {
    struct Case {
        const char* label;
        PeerScript script;
        std::string expected;
        Outcome outcome;
    };
    PeerScript closeAtOnce;
    closeAtOnce.read = PeerScript::Read::CloseAtOnce;
    PeerScript silentClose;
    PeerScript resetAfterHeader = replying({"HTTP/1.1 200 OK\r\n"});
    resetAfterHeader.end = PeerScript::End::Reset;
    PeerScript resetAfterAnswer = replying({"HTTP/1.1 200 OK\r\n\r\nOK\n"});
    resetAfterAnswer.end = PeerScript::End::Reset;
    const Case cases[] = {
        {"closed before reading", closeAtOnce, kNothingReceived, Outcome::Unknown},
        {"read, then closed silently", silentClose, kNothingReceived, Outcome::Unknown},
        {"no header end", replying({"HTTP/1.1 200 OK\nOK\n"}), kBadFormat, Outcome::Unknown},
        {"reset inside the header", resetAfterHeader, kBadFormat, Outcome::Unknown},
        {"reset after a complete answer", resetAfterAnswer, "OK", Outcome::Accepted},
        {"broken chunks",
         replying({"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n"}), kBadFormat,
         Outcome::Unknown},
        {"gateway refuses", replying({"HTTP/1.1 200 OK\r\n\r\nFalscher Key\n"}), "Falscher Key",
         Outcome::Refused},
        {"404 page", replying({"HTTP/1.1 404 Not Found\r\n\r\n<html><body>nope\n</html>"}),
         "<html><body>nope", Outcome::Refused},
        {"OK with CR", replying({"HTTP/1.1 200 OK\r\n\r\nOK\r\n"}), "OK\r", Outcome::Refused},
    };
    for (const Case& c : cases) {
        const Sent s = sendToPeer(c.script);
        EXPECT_EQ(s.answer, c.expected) << c.label;
        EXPECT_EQ(s.r.outcome, c.outcome) << c.label;
        EXPECT_EQ(s.r.result, c.outcome == Outcome::Accepted ? 0 : 1) << c.label;
    }
}

// ------------------------------------------------------------ the answer buffer

TEST(AnswerBuffer, SizesFromNothingToAll) {
    const std::string line(150, 'L');
    for (int size : {-1, 0, 1, 3, 99, 100}) {
        for (const std::string& body : {std::string("OK"), line}) {
            FakePeer peer(replying({"HTTP/1.1 200 OK\r\n\r\n" + body}));
            char buf[200];
            std::memset(buf, '#', sizeof buf);
            const SendResult r = send(message(), loopback(peer.port()), kShort, buf, size);
            EXPECT_EQ(r.result, body == "OK" ? 0 : 1) << size;
            const std::size_t copied =
                size <= 0 ? 0 : std::min(body.size(), static_cast<std::size_t>(size - 1));
            EXPECT_EQ(std::string(buf, copied), body.substr(0, copied)) << size;
            std::size_t untouched = copied;
            if (size > 0) {
                EXPECT_EQ(buf[untouched++], '\0') << size;
            }
            for (std::size_t i = untouched; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << size;
        }
    }
}

TEST(AnswerBuffer, NullAnswerIsNeverWritten) {
    FakePeer peer(replying({kOkReply}));
    EXPECT_EQ(send(message(), loopback(peer.port()), kShort, nullptr, 100).result, 0);
}

TEST(AnswerBuffer, UntouchedUntilTheOutcomeIsKnown) {
    PeerScript slow = replying({"HTTP/1.1 200 OK\r\n", "\r\n", "Nein\n"});
    slow.pieceDelayMs = 100;
    FakePeer peer(slow);
    char buf[100];
    std::memset(buf, '#', sizeof buf);
    std::atomic<bool> touched{false};
    std::atomic<bool> finished{false};
    std::thread watcher([&] {
        while (!finished) {
            if (buf[0] != '#') touched = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    const SendResult r = send(message(), loopback(peer.port()), kShort, buf, sizeof buf);
    finished = true;
    watcher.join();
    EXPECT_FALSE(touched) << "written before the call returned";
    EXPECT_EQ(r.result, 1);
    EXPECT_STREQ(buf, "Nein");
}

// ------------------------------------------------------------ how the reply arrives

TEST(Delivery, OneByteAtATime) {
    std::vector<std::string> pieces;
    const std::string reply =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nO\r\n1\r\nK\r\n0\r\n\r\n";
    for (char c : reply) pieces.emplace_back(1, c);
    PeerScript script = replying(pieces);
    script.pieceDelayMs = 1;
    const Sent s = sendToPeer(script);
    EXPECT_EQ(s.r.result, 0);
    EXPECT_EQ(s.answer, "OK");
}

TEST(Delivery, CompleteAnswerDoesNotWaitForTheClose) {
    // The peer ignores "Connection: close" and holds the connection far
    // beyond the receive time-out: the answer is complete, so the call ends.
    for (const std::string& reply :
         {std::string("HTTP/1.1 200 OK\r\n\r\nOK\n"),
          std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK"),
          std::string(
              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n")}) {
        PeerScript script = replying({reply});
        script.end = PeerScript::End::KeepOpen;
        script.holdMs = 5000;
        const Timeouts patient{2000, 2000, 4000};
        const auto start = std::chrono::steady_clock::now();
        const Sent s = sendToPeer(script, patient);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(s.r.result, 0) << reply;
        EXPECT_LT(took, std::chrono::milliseconds(3500)) << "waited for the time-out: " << reply;
    }
}

TEST(Delivery, ReplyLargerThanMemoryShouldHold) {
    // 256 MiB of one endless answer line, then the close: the whole reply is
    // read, only 99 bytes of it are kept.
#if !defined(_WIN32)
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
#endif
    PeerScript script = replying({"HTTP/1.1 200 OK\r\n\r\nNO"});
    script.repeatBytes = 256ull << 20;
    const Sent s = sendToPeer(script, Timeouts{2000, 2000, 10000});
    EXPECT_EQ(s.r.result, 1);
    EXPECT_EQ(s.answer, "NO" + std::string(97, 'x'));
#if !defined(_WIN32)
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    // The peer's own buffers are in this process too; the reply is not.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "peak RSS grew (KiB)";
#endif
}

TEST(Delivery, LargeRequestIsSentWhole) {
    // Far more than one send call takes at once: the rest must follow.
    const std::string big(8 << 20, 'q');
    Message m = message();
    m.msg = big.c_str();
    FakePeer peer(replying({kOkReply}));
    const Sent s = sendTo(m, loopback(peer.port()), Timeouts{2000, 5000, 5000});
    EXPECT_EQ(s.r.result, 0) << s.answer;
    const std::string got = peer.request();
    EXPECT_EQ(got.size(), composeRequest(expectedQuery(m), loopback(peer.port()), false).size());
    EXPECT_EQ(got.substr(got.size() - 19), "Connection: close\n\n");
}

#if !defined(_WIN32)
extern "C" void ignoreSignal(int) {}

TEST(Delivery, InterruptedWaitsAreResumed) {
    // A signal handler installed without SA_RESTART interrupts poll, send
    // and recv with EINTR; the call must carry on as if nothing happened.
    struct sigaction sa {};
    struct sigaction old {};
    sa.sa_handler = ignoreSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::vector<std::string> pieces;
    for (char c : std::string("HTTP/1.1 200 OK\r\n\r\nOK")) pieces.emplace_back(1, c);
    PeerScript slow = replying(pieces);
    slow.pieceDelayMs = 15;
    FakePeer peer(slow);
    const pthread_t caller = pthread_self();
    std::atomic<bool> finished{false};
    std::thread interrupter([&] {
        for (int i = 0; i < 2000 && !finished; ++i) {
            pthread_kill(caller, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const Sent s = sendTo(message(), loopback(peer.port()), Timeouts{2000, 2000, 2000});
    finished = true;
    interrupter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(s.r.result, 0) << s.answer;
    EXPECT_EQ(s.answer, "OK");
}
#endif

// ------------------------------------------------------------ time-outs

TEST(Timeouts, SilentPeerGivesUncertainOutcome) {
    PeerScript silent;
    silent.end = PeerScript::End::KeepOpen;
    silent.holdMs = 3000;
    const auto start = std::chrono::steady_clock::now();
    const Sent s = sendToPeer(silent, Timeouts{2000, 2000, 300});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    EXPECT_EQ(s.r.result, 1);
    EXPECT_EQ(s.r.outcome, Outcome::Unknown);
    EXPECT_EQ(s.answer, kNoAnswerFromLoopback);
}

TEST(Timeouts, TricklingPeerIsHeardWhileBytesKeepComing) {
    std::vector<std::string> pieces;
    for (char c : std::string("HTTP/1.1 200 OK\r\n\r\nOK\n")) pieces.emplace_back(1, c);
    PeerScript trickle = replying(pieces);
    trickle.pieceDelayMs = 20;  // far below the idle time-out
    const Sent s = sendToPeer(trickle, Timeouts{2000, 2000, 400});
    EXPECT_EQ(s.r.result, 0) << s.answer;
}

TEST(Timeouts, EndlessTrickleIsGivenUpOn) {
    // Each byte comes well within the idle time-out, but the answer line
    // never ends: the call gives up once the whole reply took too long.
    std::vector<std::string> pieces{"HTTP/1.1 200 OK\r\n\r\nOK"};
    for (int i = 0; i < 200; ++i) pieces.emplace_back(1, ' ');
    PeerScript trickle = replying(pieces);
    trickle.pieceDelayMs = 20;
    const auto start = std::chrono::steady_clock::now();
    const Sent s = sendToPeer(trickle, Timeouts{2000, 2000, 400, 600});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
    EXPECT_EQ(s.r.outcome, Outcome::Unknown);
    EXPECT_EQ(s.answer, kNoAnswerFromLoopback);
}

TEST(Timeouts, PeerThatNeverReadsALargeRequest) {
    // The request does not fit into the socket buffers; the peer reads
    // nothing: the send gives up (one line on standard error) and the call
    // still waits for a reply, which does not come either.
    PeerScript deaf;
    deaf.read = PeerScript::Read::Nothing;
    deaf.end = PeerScript::End::KeepOpen;
    deaf.holdMs = 4000;
    const std::string big(32 << 20, 'm');
    Message m = message();
    m.msg = big.c_str();
    zelvotest::StderrCapture err;
    const Sent s = sendToPeer(deaf, Timeouts{2000, 300, 300}, m);
    const std::string printed = err.text();
    EXPECT_EQ(s.r.outcome, Outcome::Unknown);
    EXPECT_EQ(s.answer, kNoAnswerFromLoopback);
#if defined(_WIN32)
    // The description comes from the system's message table (or is the bare
    // error number where it has none); the text-mode stream ends the line
    // with CR LF.
    const std::string start = "send() in \"msgSend()\" fehlgeschlagen: ";
    EXPECT_EQ(printed.rfind(start, 0), 0u) << printed;
    EXPECT_GT(printed.size(), start.size() + 2) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
    EXPECT_EQ(printed.substr(printed.size() - 2), "\r\n") << printed;
#else
    EXPECT_EQ(printed, zelvotest::kSendFailedPrefix + std::strerror(ETIMEDOUT) + "\n");
#endif
}

TEST(Timeouts, ConnectGivesUp) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a listener whose backlog overflows";
#else
    // A listener that never accepts, with its backlog filled, drops further
    // connection attempts: the connect waits until it gives up.
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(l, 0), 0);
    socklen_t len = sizeof sa;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        fillers.push_back(f);
    }
    const auto start = std::chrono::steady_clock::now();
    const Sent s = sendTo(message(), loopback(ntohs(sa.sin_port)), Timeouts{300, 300, 300});
    const auto took = std::chrono::steady_clock::now() - start;
    for (int f : fillers) ::close(f);
    ::close(l);
    EXPECT_EQ(s.answer,
              "[ERROR] Verbindung konnte nicht etabliert werden: 127.0.0.1 reagiert nicht");
    EXPECT_LT(took, std::chrono::milliseconds(2000));
#endif
}

// ------------------------------------------------------------ the caller's process

TEST(Process, PeerGoneBeforeTheRequestDoesNotKillTheCaller) {
    // A request far larger than the socket buffers into a connection the
    // peer has closed: the send fails (EPIPE or a reset) instead of raising
    // SIGPIPE; the failure line is printed once and the call ends normally.
    PeerScript gone;
    gone.read = PeerScript::Read::CloseAtOnce;
    const std::string big(16 << 20, 'm');
    Message m = message();
    m.msg = big.c_str();
    zelvotest::StderrCapture err;
    const Sent s = sendToPeer(gone, kShort, m);
    const std::string printed = err.text();
    EXPECT_EQ(s.r.result, 1);
    EXPECT_EQ(s.answer, kNothingReceived);
    EXPECT_EQ(printed.rfind(zelvotest::kSendFailedPrefix, 0), 0u) << printed;
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

TEST(Process, ThousandCallsLeaveTheDescriptorsAsTheyWere) {
    const int before = zelvotest::openDescriptors();
    if (before < 0) GTEST_SKIP() << "descriptor count unknown here";
    const std::uint16_t closed = zelvotest::closedPort();
    {
        FakePeer okPeer(replying({kOkReply}), 400);
        FakePeer emptyPeer(PeerScript{}, 200);
        for (int i = 0; i < 1000; ++i) {
            Message m = message();
            Gateway gw = loopback(okPeer.port());
            switch (i % 5) {
                case 0:
                case 1:
                    break;
                case 2:
                    gw.port = emptyPeer.port();
                    break;
                case 3:
                    gw.port = closed;
                    break;
                case 4:
                    m.key = nullptr;
                    break;
            }
            char buf[100];
            send(m, gw, kShort, buf, sizeof buf);
        }
        EXPECT_FALSE(okPeer.request(399).empty()) << "all calls reached the peer";
        EXPECT_FALSE(emptyPeer.request(199).empty());
    }
    EXPECT_EQ(zelvotest::openDescriptors(), before);
}

#if defined(_WIN32)
TEST(Process, EveryStartOfTheSocketLayerIsBalanced) {
    // Each call starts Windows Sockets and must shut it down again on every
    // path. Afterwards only the peers' own start-up is left: one shutdown
    // succeeds, the next finds the layer down.
    const std::uint16_t closed = zelvotest::closedPort();
    {
        FakePeer okPeer(replying({kOkReply}), 3);
        FakePeer emptyPeer(PeerScript{}, 3);
        for (int i = 0; i < 3; ++i) {
            char buf[100];
            send(message(), loopback(okPeer.port()), kShort, buf, sizeof buf);
            send(message(), loopback(emptyPeer.port()), kShort, buf, sizeof buf);
            send(message(), loopback(closed), kShort, buf, sizeof buf);
        }
        okPeer.request(2);
        emptyPeer.request(2);
    }
    int left = 0;
    while (left < 100 && WSACleanup() == 0) ++left;
    for (int i = 0; i < left; ++i) {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    EXPECT_EQ(left, 1) << "start-ups left over besides the peers' own";
}
#endif

TEST(Process, EightThreadsSendAtOnce) {
    constexpr int kThreads = 8, kEach = 25;
    FakePeer peer(replying({kOkReply}), kThreads * kEach, true);
    std::atomic<int> accepted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string msg = "thread " + std::to_string(t);
            for (int i = 0; i < kEach; ++i) {
                Message m = message();
                m.msg = msg.c_str();
                char buf[100];
                if (send(m, loopback(peer.port()), kShort, buf, sizeof buf).result == 0 &&
                    std::string(buf) == "OK")
                    ++accepted;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(accepted, kThreads * kEach);
    int perThread[kThreads] = {};
    for (int i = 0; i < kThreads * kEach; ++i) {
        const std::string req = peer.request(static_cast<std::size_t>(i));
        for (int t = 0; t < kThreads; ++t) {
            if (req.find("&msg=thread+" + std::to_string(t) + "&") != std::string::npos)
                ++perThread[t];
        }
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[t], kEach) << "thread " << t;
}

}  // namespace
