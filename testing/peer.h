// The one loopback peer of the tests and the benchmark: it listens on an
// ephemeral port of 127.0.0.1 and hands every accepted connection to a
// handler of the test's own, which plays the gateway, a proxy or a bad peer
// (replies in pieces with delays, resets, half-closes, silence). Everything
// is bounded: every wait has a limit, the peer serves a fixed number of
// connections (or any number until it is destroyed) and stops with its
// owner.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zelvotest {

// Milliseconds until `until`, 0 once it has passed.
int msLeft(std::chrono::steady_clock::time_point until);

// One accepted connection, from the peer's side.
class Conn {
  public:
    Conn(std::intptr_t handle, std::string* request) : handle_(handle), request_(request) {}
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    // Reads until the request's blank line (LF LF or CR LF CR LF) or `ms`
    // pass; returns what arrived, which the peer also records.
    std::string readRequest(int ms = 10000);
    // Sends all bytes (then `fill` times `filler`); false when the client is gone.
    bool send(const std::string& bytes, std::uint64_t fill = 0, char filler = 'x');
    void shutdownWrite();
    // Aborts the connection: the client receives a reset.
    void reset();
    // Waits up to `ms` for the client to close or reset (dropping whatever
    // it still sends); true when it did.
    bool clientCloses(int ms);
    // Keeps the connection open for up to `ms` without reading a byte;
    // returns early when the client closes (where the system tells without
    // a read; on Windows it always waits the whole time).
    void holdUnread(int ms);

  private:
    std::intptr_t handle_;
    std::string* request_;
};

class Peer {
  public:
    using Handler = std::function<void(Conn&)>;
    static constexpr int kUnlimited = -1;

    // Serves `connections` connections (kUnlimited: until destroyed) on
    // `workers` threads, each taking one connection at a time.
    explicit Peer(Handler handler, int connections = 1, int workers = 1);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    std::uint16_t port() const { return port_; }
    // Waits (bounded) until every connection has been handled.
    bool finish(int ms = 20000);
    int handled() const { return handled_; }
    // What the handler read on the i-th accepted connection.
    std::string request(std::size_t i = 0);

  private:
    void serve();

    Handler handler_;
    int connections_;
    std::intptr_t listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> handled_{0};
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::vector<std::thread> workers_;
};

// Handler: reads the request, sends the pieces (`delayMs` before each), closes.
Peer::Handler replying(std::vector<std::string> pieces, int delayMs = 0);
// Handler of a forwarding proxy: reads the request, passes it on unchanged
// to 127.0.0.1:`upstream` and relays the reply until upstream closes.
Peer::Handler forwardingTo(std::uint16_t upstream);

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
