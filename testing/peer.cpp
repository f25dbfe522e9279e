#include "peer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace zelvotest {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using Handle = SOCKET;
using SockLen = int;
constexpr int kSendFlags = 0;
void closeHandle(Handle h) {
    closesocket(h);
}
// Waits until `h` is readable; false after `ms`.
bool readable(Handle h, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(h, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) > 0;
}
bool interrupted() {
    return false;
}
struct Winsock {
    Winsock() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~Winsock() { WSACleanup(); }
};
#else
using Handle = int;
using SockLen = socklen_t;
constexpr int kSendFlags = MSG_NOSIGNAL;
void closeHandle(Handle h) {
    ::close(h);
}
bool readable(Handle h, int ms) {
    pollfd p{h, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}
bool interrupted() {
    return errno == EINTR;
}
#endif

Handle native(std::intptr_t h) {
    return static_cast<Handle>(h);
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    return sa;
}

Handle listenLoopback(std::uint16_t* port) {
#if defined(_WIN32)
    static Winsock winsock;
#endif
    const Handle s = ::socket(AF_INET, SOCK_STREAM, 0);
    // Non-blocking, so that of several workers woken for one connection the
    // ones that lose the race return to their bounded wait.
#if defined(_WIN32)
    u_long on = 1;
    ioctlsocket(s, static_cast<long>(FIONBIO), &on);
#else
    fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK);
#endif
    sockaddr_in sa = loopback(0);
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 256) != 0) {
        std::perror("test peer: bind/listen");
        std::abort();
    }
    SockLen len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return s;
}

bool sendBytes(Handle h, const char* p, std::size_t n) {
    while (n > 0) {
        const std::size_t chunk = n > 65536 ? 65536 : n;
#if defined(_WIN32)
        const auto r = ::send(h, p, static_cast<int>(chunk), kSendFlags);
#else
        const auto r = ::send(h, p, chunk, kSendFlags);
#endif
        if (r < 0 && interrupted()) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace

int msLeft(Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// ------------------------------------------------------------ Conn

Conn::~Conn() {
    if (handle_ != -1) closeHandle(native(handle_));
}

std::string Conn::readRequest(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    std::string got;
    char buf[65536];
    // Only the bytes new since the last look are searched, so that a request
    // of many megabytes is not scanned again for every chunk.
    std::size_t scanned = 0;
    while (got.find("\n\n", scanned) == std::string::npos &&
           got.find("\r\n\r\n", scanned) == std::string::npos) {
        scanned = got.size() > 3 ? got.size() - 3 : 0;
        const int left = msLeft(until);
        if (left == 0 || !readable(native(handle_), left)) break;
        const auto r = ::recv(native(handle_), buf, sizeof buf, 0);
        if (r <= 0) break;
        got.append(buf, static_cast<std::size_t>(r));
    }
    if (request_ != nullptr) *request_ += got;
    return got;
}

bool Conn::send(const std::string& bytes, std::uint64_t fill, char filler) {
    if (!sendBytes(native(handle_), bytes.data(), bytes.size())) return false;
    const std::string block(fill > 0 ? 65536 : 0, filler);
    for (std::uint64_t left = fill; left > 0;) {
        const std::size_t n = left < block.size() ? static_cast<std::size_t>(left) : block.size();
        if (!sendBytes(native(handle_), block.data(), n)) return false;
        left -= n;
    }
    return true;
}

void Conn::shutdownWrite() {
#if defined(_WIN32)
    ::shutdown(native(handle_), SD_SEND);
#else
    ::shutdown(native(handle_), SHUT_WR);
#endif
}

void Conn::reset() {
    linger l{1, 0};
    ::setsockopt(native(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                 sizeof l);
    closeHandle(native(handle_));
    handle_ = -1;
}

bool Conn::clientCloses(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    for (;;) {
        const int left = msLeft(until);
        if (left == 0 || !readable(native(handle_), left)) return false;
        if (::recv(native(handle_), buf, sizeof buf, 0) <= 0) return true;
    }
}

void Conn::holdUnread(int ms) {
#if defined(_WIN32)
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#else
    pollfd p{native(handle_), POLLRDHUP, 0};
    ::poll(&p, 1, ms);
#endif
}

// ------------------------------------------------------------ Peer

Peer::Peer(Handler handler, int connections, int workers)
    : handler_(std::move(handler)), connections_(connections) {
    std::uint16_t port = 0;
    listener_ = static_cast<std::intptr_t>(listenLoopback(&port));
    port_ = port;
    if (connections_ > 0) requests_.resize(static_cast<std::size_t>(connections_));
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { serve(); });
}

Peer::~Peer() {
    stop_ = true;
    for (auto& w : workers_) w.join();
    closeHandle(native(listener_));
}

void Peer::serve() {
    while (!stop_) {
        if (connections_ != kUnlimited && accepted_ >= connections_) return;
        if (!readable(native(listener_), 20)) continue;
        const Handle c = ::accept(native(listener_), nullptr, nullptr);
        if (c == static_cast<Handle>(-1)) continue;
#if defined(_WIN32)
        u_long off = 0;  // the accepted socket inherits the listener's mode
        ioctlsocket(c, static_cast<long>(FIONBIO), &off);
#else
        fcntl(c, F_SETFL, fcntl(c, F_GETFL, 0) & ~O_NONBLOCK);
#endif
        const int index = accepted_++;
        if (connections_ != kUnlimited && index >= connections_) {
            closeHandle(c);  // another worker took the last one
            return;
        }
        std::string request;
        {
            Conn conn(static_cast<std::intptr_t>(c),
                      connections_ == kUnlimited ? nullptr : &request);
            handler_(conn);
        }
        if (connections_ != kUnlimited) {
            const std::lock_guard<std::mutex> lock(mutex_);
            requests_[static_cast<std::size_t>(index)] = std::move(request);
        }
        ++handled_;
    }
}

bool Peer::finish(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (handled_ < connections_ && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return handled_ == connections_;
}

std::string Peer::request(std::size_t i) {
    finish();
    const std::lock_guard<std::mutex> lock(mutex_);
    return i < requests_.size() ? requests_[i] : std::string();
}

Peer::Handler replying(std::vector<std::string> pieces, int delayMs) {
    return [pieces = std::move(pieces), delayMs](Conn& c) {
        c.readRequest();
        for (const std::string& piece : pieces) {
            if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            if (!c.send(piece)) return;
        }
    };
}

Peer::Handler forwardingTo(std::uint16_t upstream) {
    return [upstream](Conn& c) {
        const std::string request = c.readRequest();
        const Handle up = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in sa = loopback(upstream);
        if (::connect(up, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 &&
            sendBytes(up, request.data(), request.size())) {
            char buf[65536];
            while (readable(up, 10000)) {
                const auto r = ::recv(up, buf, sizeof buf, 0);
                if (r <= 0 || !c.send(std::string(buf, static_cast<std::size_t>(r)))) break;
            }
        }
        closeHandle(up);
    };
}

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    closeHandle(listenLoopback(&port));
    return port;
}

int openDescriptors() {
#if defined(_WIN32)
    // Sockets are kernel handles on Windows; a live process always holds
    // handles, so a count of 0 means the system keeps none (Wine): unknown.
    DWORD n = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &n) || n == 0) return -1;
    return static_cast<int>(n);
#else
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
#endif
}

// ------------------------------------------------------------ StderrCapture

#if defined(_WIN32)
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#endif

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char name[] = "zelvo-stderr-XXXXXX";
#if defined(_WIN32)
    path_ = std::string(_mktemp(name));
    const int fd = _open(path_.c_str(), _O_CREAT | _O_RDWR | _O_TRUNC, 0600);
#else
    std::string tmpl = "/tmp/" + std::string(name);
    const int fd = mkstemp(tmpl.data());
    path_ = tmpl;
#endif
    saved_ = dup(fileno(stderr));
    dup2(fd, fileno(stderr));
    close(fd);
}

StderrCapture::~StderrCapture() {
    text();
}

std::string StderrCapture::text() {
    if (done_) return text_;
    done_ = true;
    std::fflush(stderr);
    dup2(saved_, fileno(stderr));
    close(saved_);
    if (FILE* f = std::fopen(path_.c_str(), "rb")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text_.append(buf, n);
        std::fclose(f);
    }
    std::remove(path_.c_str());
    return text_;
}

}  // namespace zelvotest
