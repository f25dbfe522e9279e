#include "fake_peer.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
using SockLen = int;
using Handle = SOCKET;
static void closeHandle(Handle h) {
    closesocket(h);
}
static bool pollRead(Handle h, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(h, &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &tv) > 0;
}
static int sendFlags() {
    return 0;
}
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SockLen = socklen_t;
using Handle = int;
static void closeHandle(Handle h) {
    ::close(h);
}
static bool pollRead(Handle h, int ms) {
    pollfd p{h, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}
static int sendFlags() {
    return MSG_NOSIGNAL;
}
#endif

namespace zelvotest {

namespace {

using Clock = std::chrono::steady_clock;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

#if defined(_WIN32)
struct WinsockUser {
    WinsockUser() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
    ~WinsockUser() { WSACleanup(); }
};
WinsockUser& winsock() {
    static WinsockUser w;
    return w;
}
#endif

Handle listenLoopback(std::uint16_t* port) {
#if defined(_WIN32)
    winsock();
#endif
    Handle s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s, 64) != 0) {
        std::perror("fake peer: bind/listen");
        std::abort();
    }
    SockLen len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    *port = ntohs(sa.sin_port);
    return s;
}

bool sendAllBytes(Handle h, const char* p, std::size_t n) {
    while (n > 0) {
        const std::size_t chunk = n > 65536 ? 65536 : n;
#if defined(_WIN32)
        const auto r = ::send(h, p, static_cast<int>(chunk), sendFlags());
#else
        const auto r = ::send(h, p, chunk, sendFlags());
#endif
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

}  // namespace

FakePeer::FakePeer(PeerScript script, int connections, bool concurrent)
    : script_(std::move(script)),
      concurrent_(concurrent),
      requests_(static_cast<std::size_t>(connections)),
      finished_(static_cast<std::size_t>(connections), 0) {
    std::uint16_t port = 0;
    listener_ = static_cast<std::intptr_t>(listenLoopback(&port));
    port_ = port;
    thread_ = std::thread([this] { serve(); });
}

FakePeer::~FakePeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    closeHandle(static_cast<Handle>(listener_));
}

void FakePeer::serve() {
    std::vector<std::thread> workers;
    std::size_t accepted = 0;
    while (!stop_ && accepted < requests_.size()) {
        if (!pollRead(static_cast<Handle>(listener_), 50)) continue;
        const Handle c = ::accept(static_cast<Handle>(listener_), nullptr, nullptr);
        const std::size_t index = accepted++;
        auto work = [this, c, index] { handle(static_cast<std::intptr_t>(c), index); };
        if (concurrent_) {
            workers.emplace_back(work);
        } else {
            work();
        }
    }
    for (auto& w : workers) w.join();
}

void FakePeer::handle(std::intptr_t client, std::size_t index) {
    const auto h = static_cast<Handle>(client);
    std::string got;
    if (script_.read == PeerScript::Read::UntilBlankLine) {
        const auto until = Clock::now() + std::chrono::seconds(10);
        char buf[4096];
        // Only the bytes new since the last look are searched (with three
        // before them), so that a request of many megabytes is not rescanned
        // for every chunk.
        std::size_t scanned = 0;
        bool blankLine = false;
        while (Clock::now() < until && !blankLine) {
            if (!pollRead(h, 50)) continue;
            const auto r = ::recv(h, buf, sizeof buf, 0);
            if (r <= 0) break;
            got.append(buf, static_cast<std::size_t>(r));
            blankLine = got.find("\n\n", scanned) != std::string::npos ||
                        got.find("\r\n\r\n", scanned) != std::string::npos;
            scanned = got.size() > 3 ? got.size() - 3 : 0;
        }
    }
    bool ok = script_.read != PeerScript::Read::CloseAtOnce;
    for (std::size_t k = 0; ok && k < script_.pieces.size(); ++k) {
        if (script_.pieceDelayMs > 0) sleepMs(script_.pieceDelayMs);
        const std::string& piece = script_.pieces[k];
        ok = !stop_ && sendAllBytes(h, piece.data(), piece.size());
    }
    if (ok && script_.repeatBytes > 0) {
        const std::string filler(65536, script_.repeatByte);
        std::uint64_t left = script_.repeatBytes;
        while (ok && left > 0 && !stop_) {
            const std::size_t n =
                left < filler.size() ? static_cast<std::size_t>(left) : filler.size();
            ok = sendAllBytes(h, filler.data(), n);
            left -= n;
        }
    }
    if (script_.read != PeerScript::Read::CloseAtOnce) {
        switch (script_.end) {
            case PeerScript::End::Reset: {
                linger l{1, 0};
                ::setsockopt(h, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
                break;
            }
            case PeerScript::End::KeepOpen: {
                const auto until = Clock::now() + std::chrono::milliseconds(script_.holdMs);
                while (!stop_ && Clock::now() < until) sleepMs(10);
                break;
            }
            case PeerScript::End::Close:
                break;
        }
    }
    closeHandle(h);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[index] = std::move(got);
    finished_[index] = 1;
    changed_.notify_all();
}

std::string FakePeer::request(std::size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (i >= finished_.size()) return std::string();
    changed_.wait_for(lock, std::chrono::seconds(15), [&] { return finished_[i] != 0; });
    return requests_[i];
}

std::size_t FakePeer::handled() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (char f : finished_) n += f != 0 ? 1 : 0;
    return n;
}

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    const Handle s = listenLoopback(&port);
    closeHandle(s);
    return port;
}

int openDescriptors() {
#if defined(_WIN32)
    // Sockets are kernel handles on Windows: the process's handle count
    // covers them. A live process always holds handles, so a count of 0
    // means the system does not keep one (Wine answers 0): unknown.
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

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char name[] = "zelvo-stderr-XXXXXX";
#if defined(_WIN32)
    path_ = std::string(_mktemp(name));
    const int fd = _open(path_.c_str(), _O_CREAT | _O_RDWR | _O_TRUNC, 0600);
#else
    path_ = "/tmp/" + std::string(name);
    std::vector<char> tmpl(path_.begin(), path_.end());
    tmpl.push_back('\0');
    const int fd = mkstemp(tmpl.data());
    path_ = tmpl.data();
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
