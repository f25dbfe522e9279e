// A scripted TCP peer on the loopback interface, for tests: it plays the
// gateway or a proxy on an ephemeral port, records what the client sent and
// answers as its script says (in pieces, slowly, not at all, by a reset).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelvotest {

struct PeerScript {
    enum class Read {
        UntilBlankLine,  // read the request up to its empty line, then reply
        Nothing,         // never read: reply (if at all) and end
        CloseAtOnce,     // close the connection right after accepting it
    };
    enum class End {
        Close,     // close normally after the reply
        Reset,     // abort the connection (RST) after the reply
        KeepOpen,  // keep the connection open for holdMs after the reply
    };
    Read read = Read::UntilBlankLine;
    std::vector<std::string> pieces;  // the reply, each piece sent on its own
    int pieceDelayMs = 0;             // pause before each piece
    End end = End::Close;
    int holdMs = 3000;              // KeepOpen: how long to keep it open
    std::uint64_t repeatBytes = 0;  // after the pieces: this many filler bytes
    char repeatByte = 'x';
};

// Serves `connections` connections one after the other (or concurrently when
// `concurrent` is set), each by the same script.
class FakePeer {
  public:
    explicit FakePeer(PeerScript script, int connections = 1, bool concurrent = false);
    ~FakePeer();
    FakePeer(const FakePeer&) = delete;
    FakePeer& operator=(const FakePeer&) = delete;

    std::uint16_t port() const { return port_; }

    // The bytes received on connection `i`, once that connection has been
    // handled (waits at most a few seconds).
    std::string request(std::size_t i = 0);
    // Number of connections handled to their end so far.
    std::size_t handled();

  private:
    void serve();
    void handle(std::intptr_t client, std::size_t index);

    PeerScript script_;
    bool concurrent_;
    std::intptr_t listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> requests_;
    std::vector<char> finished_;
};

// A port on 127.0.0.1 where nothing listens (bound once, then released).
std::uint16_t closedPort();

// Open descriptors of this process (-1 where the platform cannot tell).
int openDescriptors();

// Captures what is written to standard error while it lives.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    std::string text();  // stops capturing, returns what was written

  private:
    int saved_ = -1;
    std::string path_;
    bool done_ = false;
    std::string text_;
};

}  // namespace zelvotest
