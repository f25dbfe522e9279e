// Bad peers on loopback against the send core: resets at every byte of the
// reply, trickles, peers that never read or answer before reading,
// half-closes, and replies that are empty, tiny, headless, oversized or
// absurdly framed. Each must end with its text and result, never crash, never
// wait past its time-out and never leak a descriptor.
//
// "Never waits past its time-out" is checked by order of events, not by the
// clock: the peer holds the connection far longer than the time-out and
// records whether the client gave up first.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "expected_texts.h"
#include "fake_peer.h"
#include "oracle.h"
#include "peer_kit.h"
#include "send_core.h"

#include <poll.h>
#include <sys/socket.h>

using namespace zelvonet;
using zelvotest::Conn;
using zelvotest::FnPeer;

namespace {

const std::string& kNothing = zelvotest::kNothingReceived;
const std::string& kFormat = zelvotest::kBadFormat;
const std::string& kNoAnswer = zelvotest::kNoAnswerFromLoopback;
const std::string& kSendFailed = zelvotest::kSendFailedPrefix;

const std::string kPlain = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\nOK\n";
const std::string kChunked =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nO\r\n1\r\nK\r\n0\r\n\r\n";
const std::string kLength = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nOK";

// A peer holds a connection this long when a test wants to see the client
// give up first; far beyond every time-out used here.
constexpr int kHoldMs = 15000;

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

struct Sent {
    SendResult r;
    std::string answer;
    double ms = 0;
};

Sent sendTo(std::uint16_t port, const Timeouts& to, const Message& m = message()) {
    char buf[100];
    std::memset(buf, '#', sizeof buf);
    const auto start = std::chrono::steady_clock::now();
    Sent s;
    s.r = send(m, Gateway{"127.0.0.1", port, "/ZelvoServlet"}, to, buf, sizeof buf);
    s.ms = zelvotest::msSince(start);
    s.answer = buf;
    return s;
}

// What the caller must see for exactly these bytes followed by the end of
// the connection: the plain whole-reply evaluation decides.
struct Expected {
    std::string text;
    int result;
    Outcome outcome;
};

Expected expectedFor(const std::string& bytes) {
    const zelvofuzz::Whole w = zelvofuzz::evaluateWhole(bytes);
    switch (w.verdict) {
        case zelvofuzz::Whole::Verdict::Empty:
            return {kNothing, 1, Outcome::Unknown};
        case zelvofuzz::Whole::Verdict::NoHeaderEnd:
        case zelvofuzz::Whole::Verdict::BadFraming:
            return {kFormat, 1, Outcome::Unknown};
        case zelvofuzz::Whole::Verdict::Answer:
            break;
    }
    const std::string shown = w.line.substr(0, 99);
    if (w.line == "OK") return {shown, 0, Outcome::Accepted};
    return {shown, 1, Outcome::Refused};
}

// Checks that the group of sends in a test left no descriptor open.
class Faults : public ::testing::Test {
  protected:
    void SetUp() override { before_ = zelvotest::openDescriptors(); }
    void TearDown() override {
        if (before_ >= 0) {
            EXPECT_EQ(zelvotest::openDescriptors(), before_) << "descriptors leaked";
        }
    }

  private:
    int before_ = -1;
};

const Timeouts kShort{2000, 500, 500};

// ------------------------------------------------------------ resets

TEST_F(Faults, ResetAtEveryBytePositionOfTheReply) {
    // The peer reads the request, sends the first k bytes of a reply and
    // aborts the connection. What arrived before the reset is evaluated.
    for (const std::string& reply : {kPlain, kChunked, kLength}) {
        const int positions = static_cast<int>(reply.size()) + 1;
        std::size_t k = 0;
        FnPeer peer(
            [&](Conn& c) {
                c.readRequest();
                c.send(reply.substr(0, k));
                // Let the bytes reach the client before the reset overtakes
                // them in its receive path.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                c.reset();
            },
            positions);
        for (k = 0; k <= reply.size(); ++k) {
            const Sent s = sendTo(peer.port(), kShort);
            const Expected e = expectedFor(reply.substr(0, k));
            EXPECT_EQ(s.answer, e.text) << "reset after " << k << " bytes of " << reply;
            EXPECT_EQ(s.r.result, e.result) << k;
            EXPECT_EQ(s.r.outcome, e.outcome) << k;
        }
        EXPECT_TRUE(peer.finish());
    }
}

TEST_F(Faults, ResetBeforeTheRequestIsRead) {
    // The reset races with the client: it may end the connect itself
    // (nothing sent: Failed, the connection-failure text), make the send
    // fail (one line on standard error, nothing left: Failed), or come after
    // the request left (Unknown). Never a success, never a crash.
    const std::string kConnect =
        "[ERROR] Verbindung konnte nicht etabliert werden: 127.0.0.1 reagiert nicht";
    for (int i = 0; i < 20; ++i) {
        FnPeer peer([](Conn& c) { c.reset(); });
        zelvotest::StderrCapture err;
        const Sent s = sendTo(peer.port(), kShort);
        const std::string printed = err.text();
        EXPECT_EQ(s.r.result, 1);
        if (s.answer == kConnect) {
            EXPECT_EQ(s.r.outcome, Outcome::Failed);
            EXPECT_EQ(printed, "");
            continue;
        }
        EXPECT_EQ(s.answer, kNothing);
        if (printed.empty()) {
            EXPECT_EQ(s.r.outcome, Outcome::Unknown);
        } else {
            EXPECT_EQ(printed.rfind(kSendFailed, 0), 0u) << printed;
            EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
            EXPECT_EQ(s.r.outcome, Outcome::Failed);
        }
    }
}

// ------------------------------------------------------------ slow peers

TEST_F(Faults, TrickleSlowerThanTheIdleTimeoutGivesUp) {
    // A byte of header every 1.5 s against an idle time-out of 0.5 s: the
    // call ends with the uncertain-outcome text while the peer still trickles.
    bool clientGaveUpFirst = false;
    FnPeer peer([&](Conn& c) {
        c.readRequest();
        const std::string reply = kPlain;
        for (std::size_t i = 0; i < reply.size() && !clientGaveUpFirst; ++i) {
            if (!c.send(reply.substr(i, 1))) break;
            clientGaveUpFirst = c.clientCloses(1500);
        }
    });
    const Sent s = sendTo(peer.port(), Timeouts{2000, 500, 500});
    ASSERT_TRUE(peer.finish());
    EXPECT_TRUE(clientGaveUpFirst) << "the call waited for the trickle";
    EXPECT_EQ(s.answer, kNoAnswer);
    EXPECT_EQ(s.r.result, 1);
    EXPECT_EQ(s.r.outcome, Outcome::Unknown);
    std::printf("  trickle beyond the idle time: call ended after %.0f ms\n", s.ms);
}

TEST_F(Faults, TrickleWithinTheIdleTimeoutIsWaitedFor) {
    // A byte every 300 ms, idle time-out 1.5 s: slow but alive, so the call
    // waits for the whole answer line. The time-out is per byte, not total.
    const std::string reply = "HTTP\r\n\r\nOK\nrest";
    FnPeer peer([&](Conn& c) {
        c.readRequest();
        for (char ch : reply) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            if (!c.send(std::string(1, ch))) break;
        }
    });
    const Sent s = sendTo(peer.port(), Timeouts{2000, 1500, 1500});
    EXPECT_EQ(s.answer, "OK");
    EXPECT_EQ(s.r.result, 0);
    std::printf("  trickle within the idle time: answer after %.0f ms\n", s.ms);
}

// ------------------------------------------------------------ request handling

TEST_F(Faults, PeerThatNeverReadsNorAnswers) {
    // The small request fits into the socket buffers, so the send succeeds;
    // no reply comes: the receive time-out ends the call, the peer still
    // holding the connection.
    bool clientGaveUpFirst = false;
    FnPeer peer([&](Conn& c) {
        // Wait for the client's FIN without taking a byte of the request.
        pollfd p{c.fd(), POLLRDHUP, 0};
        clientGaveUpFirst = ::poll(&p, 1, kHoldMs) > 0;
    });
    const Sent s = sendTo(peer.port(), kShort);
    ASSERT_TRUE(peer.finish());
    EXPECT_TRUE(clientGaveUpFirst);
    EXPECT_EQ(s.answer, kNoAnswer);
    EXPECT_EQ(s.r.outcome, Outcome::Unknown);
}

TEST_F(Faults, PeerThatAnswersBeforeReading) {
    struct Case {
        const char* label;
        std::size_t requestBytes;  // size of the message text
        bool readAfterwards;       // read the request after answering
    };
    // A reply sent at once and a close with the request unread (the
    // platform then resets); with a request too large for the socket
    // buffers the send fails midway, is reported once, and the answer that
    // arrived is still taken.
    const Case cases[] = {
        {"small request, read after answering", 10, true},
        {"small request, never read", 10, false},
        {"large request, never read", 8u << 20, false},
    };
    for (const Case& c : cases) {
        FnPeer peer([&](Conn& conn) {
            conn.send(kPlain);
            if (c.readAfterwards) conn.readRequest();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        });
        const std::string text(c.requestBytes, 'm');
        Message m = message();
        m.msg = text.c_str();
        zelvotest::StderrCapture err;
        const Sent s = sendTo(peer.port(), Timeouts{2000, 2000, 2000}, m);
        const std::string printed = err.text();
        EXPECT_EQ(s.answer, "OK") << c.label;
        EXPECT_EQ(s.r.result, 0) << c.label;
        if (c.requestBytes > 1000) {
            EXPECT_EQ(printed.rfind(kSendFailed, 0), 0u) << c.label << ": " << printed;
            EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
        } else {
            EXPECT_EQ(printed, "") << c.label;
        }
        EXPECT_TRUE(peer.finish()) << c.label;
    }
}

TEST_F(Faults, PeerThatAnswersAndNeverReadsALargeRequest) {
    // The peer answers at once, then holds the connection without reading:
    // the send stalls until its idle time-out (one line on standard error),
    // then the waiting answer is taken.
    FnPeer peer([&](Conn& c) {
        c.send(kPlain);
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    });
    const std::string text(8u << 20, 'm');
    Message m = message();
    m.msg = text.c_str();
    zelvotest::StderrCapture err;
    const Sent s = sendTo(peer.port(), Timeouts{2000, 300, 1000}, m);
    const std::string printed = err.text();
    EXPECT_EQ(s.answer, "OK");
    EXPECT_EQ(s.r.result, 0);
    EXPECT_EQ(printed, kSendFailed + std::strerror(ETIMEDOUT) + "\n");
}

// ------------------------------------------------------------ half-closes

TEST_F(Faults, HalfClosedConnections) {
    struct Case {
        const char* label;
        std::string before;  // sent before the peer shuts its sending side
        std::string expected;
        int result;
    };
    // The peer ends its side with a FIN but keeps reading: the client must
    // take that as the end of the reply, at once.
    const Case cases[] = {
        {"nothing, then FIN", "", kNothing, 1},
        {"part of the header, then FIN", "HTTP/1.1 200 OK\r\n", kFormat, 1},
        {"answer without LF, then FIN", "HTTP/1.1 200 OK\r\n\r\nOK", "OK", 0},
        {"cut chunk, then FIN", "HTTP/1.1 200\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nOK",
         kFormat, 1},
    };
    for (const Case& c : cases) {
        bool clientClosedFirst = false;
        FnPeer peer([&](Conn& conn) {
            conn.readRequest();
            conn.send(c.before);
            conn.shutdownWrite();
            clientClosedFirst = conn.clientCloses(kHoldMs);
        });
        const Sent s = sendTo(peer.port(), Timeouts{2000, 2000, 5000});
        ASSERT_TRUE(peer.finish()) << c.label;
        EXPECT_TRUE(clientClosedFirst) << c.label;
        EXPECT_EQ(s.answer, c.expected) << c.label;
        EXPECT_EQ(s.r.result, c.result) << c.label;
    }
}

// ------------------------------------------------------------ odd replies

TEST_F(Faults, OddRepliesEndWithTheirText) {
    const std::string mib(1u << 20, 'a');
    const std::string te = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        const char* label;
        std::string reply;
        bool holdOpen;  // keep the connection open after the reply
        std::string expected;
        int result;
    };
    const Case cases[] = {
        {"0 bytes", "", false, kNothing, 1},
        {"one byte", "H", false, kFormat, 1},
        {"one LF", "\n", false, kFormat, 1},
        {"one CR", "\r", false, kFormat, 1},
        {"no CR LF CR LF, LF headers", "HTTP/1.1 200 OK\nContent-Length: 2\n\nOK\n", false,
         kFormat, 1},
        {"1 MiB without any line end", mib, false, kFormat, 1},
        {"1 MiB status line", "HTTP/1.1 200 " + mib + "\r\n\r\nOK\n", true, "OK", 0},
        {"1 MiB header line", "HTTP/1.1 200 OK\r\nX-Pad: " + mib + "\r\n\r\nOK\n", true, "OK", 0},
        {"1 MiB header name", "HTTP/1.1 200 OK\r\n" + mib + ": x\r\n\r\nOK\n", true, "OK", 0},
        {"1 MiB coding before chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: " + mib + ", chunked\r\n\r\n2\r\nOK\r\n0\r\n\r\n",
         true, "OK", 0},
        {"1 MiB answer line", "HTTP/1.1 200 OK\r\n\r\n" + mib + "\n", true, mib.substr(0, 99), 1},
        {"chunk size 2^64", te + "10000000000000000\r\nOK\r\n", true, kFormat, 1},
        {"chunk size 2^64 - 1", te + "ffffffffffffffff\r\nOK\r\n", true, kFormat, 1},
        {"chunk size with 1 MiB of leading zeros", te + std::string(1u << 20, '0') + "2\r\nOK\r\n0\r\n\r\n",
         true, "OK", 0},
        {"chunk size 2^60 - 1, cut off", te + "fffffffffffffff\r\nOK", false, kFormat, 1},
        {"content length 2^64", "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616\r\n\r\nOK\n",
         true, "OK", 0},
        {"content length far beyond the body",
         "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\nNein", false, "Nein", 1},
    };
    for (const Case& c : cases) {
        bool clientClosedFirst = false;
        FnPeer peer([&](Conn& conn) {
            conn.readRequest();
            conn.send(c.reply);
            if (c.holdOpen) clientClosedFirst = conn.clientCloses(kHoldMs);
        });
        const Sent s = sendTo(peer.port(), Timeouts{2000, 2000, 5000});
        ASSERT_TRUE(peer.finish()) << c.label;
        EXPECT_EQ(s.answer, c.expected) << c.label;
        EXPECT_EQ(s.r.result, c.result) << c.label;
        if (c.holdOpen) {
            EXPECT_TRUE(clientClosedFirst) << c.label << ": waited for the close";
        }
    }
}

}  // namespace
