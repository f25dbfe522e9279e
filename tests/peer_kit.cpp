#include "peer_kit.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zelvotest {

namespace {

using Clock = std::chrono::steady_clock;

int remaining(Clock::time_point until) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string Conn::readRequest(int ms) {
    std::string got;
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (got.find("\n\n") == std::string::npos) {
        pollfd p{fd_, POLLIN, 0};
        const int left = remaining(until);
        if (left == 0 || ::poll(&p, 1, left) <= 0) break;
        const ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r <= 0) break;
        got.append(buf, static_cast<std::size_t>(r));
    }
    return got;
}

bool Conn::send(const std::string& bytes) {
    std::size_t off = 0;
    while (off < bytes.size()) {
        const ssize_t r = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        off += static_cast<std::size_t>(r);
    }
    return true;
}

void Conn::shutdownWrite() {
    ::shutdown(fd_, SHUT_WR);
}

void Conn::reset() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd_);
    fd_ = -1;
}

bool Conn::clientCloses(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    char buf[65536];
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int left = remaining(until);
        if (left == 0) return false;
        const int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got <= 0) return true;  // end of stream or reset
    }
}

FnPeer::FnPeer(Handler handler, int connections, bool concurrent)
    : handler_(std::move(handler)), connections_(connections), concurrent_(concurrent) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listener_, 128) != 0) {
        std::perror("test peer: bind/listen");
        std::abort();
    }
    socklen_t len = sizeof sa;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] {
        std::vector<std::thread> workers;
        for (int served = 0; served < connections_ && !stop_;) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int c = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            ++served;
            auto work = [this, c] {
                Conn conn(c);
                handler_(conn);
                if (conn.fd() >= 0) ::close(conn.fd());
                ++handled_;
            };
            if (concurrent_) {
                workers.emplace_back(work);
            } else {
                work();
            }
        }
        for (auto& w : workers) w.join();
    });
}

bool FnPeer::finish(int ms) {
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    while (handled_ < connections_ && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return handled_ == connections_;
}

FnPeer::~FnPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
}

}  // namespace zelvotest
