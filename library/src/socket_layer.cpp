#include "socket_layer.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(_WIN32)
// Windows Sockets 2 headers first: windows.h would otherwise bring in the
// old winsock.h, which clashes with them.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace zelvonet::net {

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left < 0x7fffffff ? static_cast<int>(left) : 0x7fffffff;
}

namespace {

Clock::time_point deadlineAfter(int ms) {
    return Clock::now() + std::chrono::milliseconds(ms);
}

// How one send, receive or connect call of the platform went.
enum class Step {
    Moved,        // bytes moved (or the connection stands)
    Closed,       // the peer closed its side (receive)
    Again,        // nothing possible now: wait, then try again
    Interrupted,  // a signal came in between: try again at once
    Failed,       // an error; the platform's last error tells which
};

enum class Wait { Ready, Timeout, Error };

sockaddr_in toSockaddr(const Endpoint& e) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(e.port);
    sa.sin_addr.s_addr = htonl(e.address);
    return sa;
}

}  // namespace

#if defined(_WIN32)

// ---------------------------------------------------------------- Windows

namespace {

using Native = SOCKET;

Native native(std::uintptr_t h) {
    return static_cast<SOCKET>(h);
}

bool wouldBlock(int err) {
    return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS;
}

// How one call of the platform went, for the shared loops below.
Step stepOf(int r, std::size_t* n) {
    if (r > 0) {
        *n = static_cast<std::size_t>(r);
        return Step::Moved;
    }
    if (r == 0) return Step::Closed;
    const int err = WSAGetLastError();
    if (err == WSAEINTR) return Step::Interrupted;
    return wouldBlock(err) ? Step::Again : Step::Failed;
}

// Calls of more than 1 GiB are cut: the platform counts in int.
int clampToInt(std::size_t n) {
    return n > 0x40000000 ? 0x40000000 : static_cast<int>(n);
}

Step trySend(Native s, const char* data, std::size_t n, std::size_t* moved) {
    return stepOf(::send(s, data, clampToInt(n), 0), moved);
}

Step tryReceive(Native s, char* buf, std::size_t cap, std::size_t* moved) {
    return stepOf(::recv(s, buf, clampToInt(cap), 0), moved);
}

Step tryConnect(Native s, const sockaddr_in& sa) {
    if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return Step::Moved;
    return wouldBlock(WSAGetLastError()) ? Step::Again : Step::Failed;
}

// The outcome of a connect that was in progress; sets the last error.
bool connectSucceeded(Native s) {
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) return false;
    if (err == 0) return true;
    WSASetLastError(err);
    return false;
}

// Waits until the socket is readable (or writable) or `deadline` passes.
Wait waitFor(Native s, bool forWrite, Clock::time_point deadline) {
    fd_set set;
    fd_set except;
    FD_ZERO(&set);
    FD_ZERO(&except);
    FD_SET(s, &set);
    FD_SET(s, &except);
    const int ms = remainingMs(deadline);
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    const int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &except, &tv);
    if (r == 0) return Wait::Timeout;
    if (r < 0) return Wait::Error;
    return Wait::Ready;
}

// Waits for a connect in progress to settle; sets the last error when it
// failed.
Wait settleConnect(Native s, Clock::time_point deadline) {
    const Wait w = waitFor(s, true, deadline);
    if (w != Wait::Ready) return w;
    return connectSucceeded(s) ? Wait::Ready : Wait::Error;
}

}  // namespace

SocketLayer::SocketLayer() noexcept {
    WSADATA data;
    if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return;
    // A layer that cannot offer version 1.1 agrees on an older one: that is
    // a failed start-up too, and it still needs its shutdown.
    if (LOBYTE(data.wVersion) != 1 || HIBYTE(data.wVersion) != 1) {
        WSACleanup();
        return;
    }
    started_ = true;
}

SocketLayer::~SocketLayer() {
    if (started_) WSACleanup();
}

Socket::Handle Socket::invalidHandle() {
    return static_cast<Handle>(INVALID_SOCKET);
}

bool Socket::valid() const {
    return handle_ != invalidHandle();
}

void Socket::close() noexcept {
    if (valid()) closesocket(static_cast<SOCKET>(handle_));
    handle_ = invalidHandle();
}

Socket Socket::tcp4() noexcept {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return Socket();
    u_long nonBlocking = 1;
    // FIONBIO is an unsigned request code; ioctlsocket takes it as a long.
    if (ioctlsocket(s, static_cast<long>(FIONBIO), &nonBlocking) != 0) {
        closesocket(s);
        return Socket();
    }
    return Socket(static_cast<Handle>(s));
}

std::string localUserName() {
    char name[257];
    std::memset(name, 0, sizeof name);
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) return std::string();
    return std::string(name, strnlen(name, sizeof name));
}

void reportLastError(const char* what) {
    const int err = WSAGetLastError();
    char text[512] = {0};
    const DWORD len =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
    std::string desc(text, len);
    while (!desc.empty() && (desc.back() == '\n' || desc.back() == '\r' || desc.back() == ' '))
        desc.pop_back();
    if (desc.empty()) desc = "error " + std::to_string(err);
    std::string line = std::string(what) + ": " + desc + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void setTimeoutError() {
    WSASetLastError(WSAETIMEDOUT);
}

#else

// ---------------------------------------------------------------- POSIX

namespace {

using Native = int;

Native native(int h) {
    return h;
}

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// How one call of the platform went, for the shared loops below.
Step stepOf(ssize_t r, std::size_t* n) {
    if (r > 0) {
        *n = static_cast<std::size_t>(r);
        return Step::Moved;
    }
    if (r == 0) return Step::Closed;
    if (errno == EINTR) return Step::Interrupted;
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? Step::Again : Step::Failed;
}

Step trySend(Native fd, const char* data, std::size_t n, std::size_t* moved) {
    return stepOf(::send(fd, data, n, kSendFlags), moved);
}

Step tryReceive(Native fd, char* buf, std::size_t cap, std::size_t* moved) {
    return stepOf(::recv(fd, buf, cap, 0), moved);
}

Step tryConnect(Native fd, const sockaddr_in& sa) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return Step::Moved;
    // An interrupted connect goes on in the background, like one in progress.
    return (errno == EINPROGRESS || errno == EINTR) ? Step::Again : Step::Failed;
}

// The outcome of a connect that was in progress; sets errno.
bool connectSucceeded(Native fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return false;
    if (err == 0) return true;
    errno = err;
    return false;
}

// Waits until `fd` is readable (or writable) or `deadline` passes, retrying
// interrupted waits; `revents`, when given, receives what poll reported.
Wait waitFor(Native fd, bool forWrite, Clock::time_point deadline, short* revents = nullptr) {
    for (;;) {
        pollfd p{fd, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
        const int r = ::poll(&p, 1, remainingMs(deadline));
        if (r > 0) {
            if (revents != nullptr) *revents = p.revents;
            return Wait::Ready;
        }
        if (r == 0) return Wait::Timeout;
        if (errno != EINTR) return Wait::Error;
    }
}

// Waits for a connect in progress to settle; sets errno when it failed. A
// connection that stands is writable without an error or hang-up flag; only
// a flagged one needs its pending error read.
Wait settleConnect(Native fd, Clock::time_point deadline) {
    short revents = 0;
    const Wait w = waitFor(fd, true, deadline, &revents);
    if (w != Wait::Ready) return w;
    if ((revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) return Wait::Ready;
    return connectSucceeded(fd) ? Wait::Ready : Wait::Error;
}

}  // namespace

SocketLayer::SocketLayer() noexcept : started_(true) {}

SocketLayer::~SocketLayer() = default;

Socket::Handle Socket::invalidHandle() {
    return -1;
}

bool Socket::valid() const {
    return handle_ >= 0;
}

void Socket::close() noexcept {
    if (valid()) ::close(handle_);
    handle_ = -1;
}

Socket Socket::tcp4() noexcept {
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Socket();
    Socket s(fd);
#else
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return Socket();
    Socket s(fd);
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return Socket();
    fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
#if defined(SO_NOSIGPIPE)
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    return s;
}

std::string localUserName() {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(hint > 0 ? static_cast<std::size_t>(hint) : 4096);
    passwd pw;
    passwd* result = nullptr;
    for (int tries = 0; tries < 8; ++tries) {
        const int rc = getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &result);
        if (rc == ERANGE) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || result == nullptr || result->pw_name == nullptr) return std::string();
        std::string name(result->pw_name);
        // The name buffer of the platform query holds 256 characters.
        if (name.size() > 256) return std::string();
        return name;
    }
    return std::string();
}

void reportLastError(const char* what) {
    // One line, written at once, so that threads do not interleave it.
    const std::string line = std::string(what) + ": " + std::strerror(errno) + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

void setTimeoutError() {
    errno = ETIMEDOUT;
}

#endif

// ------------------------------------------------------------ both

namespace {

Io ofWait(Wait w) {
    return w == Wait::Timeout ? Io::Timeout : Io::Error;
}

}  // namespace

Io Socket::connect(const Endpoint& to, int timeoutMs) noexcept {
    const Native s = native(handle_);
    const Step step = tryConnect(s, toSockaddr(to));
    if (step == Step::Moved) return Io::Ok;
    if (step != Step::Again) return Io::Error;
    const Wait w = settleConnect(s, deadlineAfter(timeoutMs));
    return w == Wait::Ready ? Io::Ok : ofWait(w);
}

Io Socket::sendAll(const char* data, std::size_t n, int idleMs, std::size_t* sent) noexcept {
    const Native s = native(handle_);
    *sent = 0;
    while (*sent < n) {
        std::size_t moved = 0;
        switch (trySend(s, data + *sent, n - *sent, &moved)) {
            case Step::Moved:
                *sent += moved;
                break;
            case Step::Interrupted:
                break;
            case Step::Again: {
                const Wait w = waitFor(s, true, deadlineAfter(idleMs));
                if (w != Wait::Ready) return ofWait(w);
                break;
            }
            case Step::Closed:
            case Step::Failed:
                return Io::Error;
        }
    }
    return Io::Ok;
}

Io Socket::receive(char* buf, std::size_t cap, int idleMs, std::size_t* got,
                   bool waitFirst) noexcept {
    const Native s = native(handle_);
    *got = 0;
    const auto deadline = deadlineAfter(idleMs);
    if (waitFirst) {
        const Wait w = waitFor(s, false, deadline);
        if (w != Wait::Ready) return ofWait(w);
    }
    for (;;) {
        switch (tryReceive(s, buf, cap, got)) {
            case Step::Moved:
                return Io::Ok;
            case Step::Closed:
                return Io::Closed;
            case Step::Interrupted:
                break;
            case Step::Again: {
                const Wait w = waitFor(s, false, deadline);
                if (w != Wait::Ready) return ofWait(w);
                break;
            }
            case Step::Failed:
                return Io::Error;
        }
    }
}

Socket::~Socket() {
    close();
}

Socket::Socket(Socket&& other) noexcept : handle_(other.handle_) {
    other.handle_ = invalidHandle();
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = other.handle_;
        other.handle_ = invalidHandle();
    }
    return *this;
}

bool resolveIPv4(const std::string& name, std::uint32_t* address) noexcept {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0 || list == nullptr) return false;
    bool found = false;
    for (addrinfo* a = list; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
            sockaddr_in sa;
            std::memcpy(&sa, a->ai_addr, sizeof sa);
            *address = ntohl(sa.sin_addr.s_addr);
            found = true;
            break;
        }
    }
    freeaddrinfo(list);
    return found;
}

std::string dottedIPv4(std::uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
           std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

std::string localHostName() {
    char name[255];
    std::memset(name, 0, sizeof name);
    if (gethostname(name, sizeof name) != 0) return std::string();
    // A name that fills the buffer carries no terminator: take at most 255.
    std::size_t len = 0;
    while (len < sizeof name && name[len] != '\0') ++len;
    return std::string(name, len);
}

}  // namespace zelvonet::net
