// Loopback peers whose every connection is handled by a function of the test,
// for misbehaviour that a fixed script cannot express: half-closes, answers
// before the request, resets at a chosen byte, endless trickles. Everything
// is bounded: each wait has a limit, each peer serves a fixed number of
// connections and stops when destroyed.
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

// One accepted connection, from the peer's side.
class Conn {
  public:
    explicit Conn(int fd) : fd_(fd) {}
    int fd() const { return fd_; }

    // Reads until the request's empty line (LF LF) or `ms` pass; returns
    // what arrived.
    std::string readRequest(int ms = 5000);
    // Sends all bytes; false when the client is gone.
    bool send(const std::string& bytes);
    void shutdownWrite();
    // Aborts the connection: the client receives a reset.
    void reset();
    // Waits up to `ms` for the client to close its side or reset (reading
    // and dropping whatever it still sends). True when it did.
    bool clientCloses(int ms);

  private:
    int fd_;
};

class FnPeer {
  public:
    using Handler = std::function<void(Conn&)>;
    // Serves `connections` connections, one at a time or each on its own
    // thread when `concurrent`.
    explicit FnPeer(Handler handler, int connections = 1, bool concurrent = false);
    ~FnPeer();
    FnPeer(const FnPeer&) = delete;
    FnPeer& operator=(const FnPeer&) = delete;

    std::uint16_t port() const { return port_; }
    // Waits (bounded) until every connection has been handled.
    bool finish(int ms = 20000);
    int handled() const { return handled_; }

  private:
    Handler handler_;
    int connections_;
    bool concurrent_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> handled_{0};
    std::thread thread_;
};

// Milliseconds since `start`.
double msSince(std::chrono::steady_clock::time_point start);

}  // namespace zelvotest
