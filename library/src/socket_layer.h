// The thin socket layer: the few operations of one TCP exchange, over BSD
// sockets or Windows Sockets. Every descriptor is owned by a Socket and
// closed with it; every start-up of the platform's layer is balanced.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvonet::net {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, never negative.
int remainingMs(Clock::time_point deadline);

// Starts the platform's socket layer for the lifetime of the object
// (Windows Sockets, version 1.1); nothing to do on POSIX systems.
class SocketLayer {
  public:
    SocketLayer() noexcept;
    ~SocketLayer();
    SocketLayer(const SocketLayer&) = delete;
    SocketLayer& operator=(const SocketLayer&) = delete;
    bool started() const { return started_; }

  private:
    bool started_ = false;
};

// An IPv4 address and port, both in host byte order.
struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
};

// How an operation ended.
enum class Io {
    Ok,
    Closed,   // the peer closed its side (receive only)
    Timeout,  // nothing moved for the idle time
    Error,    // the platform reported an error (see lastErrorText)
};

// One TCP socket over IPv4, non-blocking, closed on destruction.
class Socket {
  public:
    Socket() = default;
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Creates an IPv4 stream socket; an invalid Socket when that fails.
    static Socket tcp4() noexcept;
    bool valid() const;

    // Connects, giving up after `timeoutMs`.
    Io connect(const Endpoint& to, int timeoutMs) noexcept;
    // Sends all `n` bytes, continuing partial sends and retrying interrupted
    // ones; gives up when the peer takes no byte for `idleMs`. `sent`
    // receives the number of bytes the platform accepted. Never raises
    // SIGPIPE.
    Io sendAll(const char* data, std::size_t n, int idleMs, std::size_t* sent) noexcept;
    // Receives up to `cap` bytes into `buf`, waiting at most `idleMs`.
    // `waitFirst`: wait before trying (the bytes are not expected yet).
    Io receive(char* buf, std::size_t cap, int idleMs, std::size_t* got,
               bool waitFirst = false) noexcept;

  private:
#if defined(_WIN32)
    using Handle = std::uintptr_t;
#else
    using Handle = int;
#endif
    explicit Socket(Handle h) : handle_(h) {}
    void close() noexcept;
    Handle handle_ = invalidHandle();
    static Handle invalidHandle();
};

// Resolves `name` to its first IPv4 address (thread-safe).
bool resolveIPv4(const std::string& name, std::uint32_t* address) noexcept;

// Dotted-decimal text of an address in host byte order.
std::string dottedIPv4(std::uint32_t address);

// The local machine's host name, read into a buffer of 255 bytes; empty when
// it cannot be read.
std::string localHostName();

// The name of the user running the program (at most 256 bytes); empty when
// it cannot be found.
std::string localUserName();

// Prints `what`, ": ", the description of the last socket error and a line
// end on standard error, as one line.
void reportLastError(const char* what);

// Marks the last socket error as a time-out, for reportLastError.
void setTimeoutError();

}  // namespace zelvonet::net
