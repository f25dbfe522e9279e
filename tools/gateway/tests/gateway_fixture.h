// An in-process gateway simulator on an ephemeral loopback port, with its
// outbox in a fresh temporary directory and its log lines collected.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "server.h"

namespace zelvotest {

inline std::string makeTempDir() {
    char dir[] = "/tmp/zelvo-tools-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    return dir;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

inline std::vector<nlohmann::json> outboxRecords(const std::string& path) {
    std::vector<nlohmann::json> out;
    for (const auto& l : lines(readFile(path))) out.push_back(nlohmann::json::parse(l));
    return out;
}

// Sends `request` to 127.0.0.1:port and reads until the peer closes (10 s at
// most without a byte).
inline std::string exchange(std::uint16_t port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) {
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char buf[4096];
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
            reply.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return reply;
}

inline std::string body(const std::string& reply) {
    const auto end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "(no header end)" : reply.substr(end + 4);
}

class RunningGateway {
  public:
    explicit RunningGateway(std::vector<zelvogw::Account> accounts = {},
                            std::string outbox = "") {
        dir_ = makeTempDir();
        outbox_ = outbox.empty() ? dir_ + "/outbox.jsonl" : outbox;
        zelvogw::ServerConfig c;
        c.address = "127.0.0.1";
        c.port = 0;
        c.accounts = accounts.empty() ? std::vector<zelvogw::Account>{zelvogw::demoAccount()}
                                      : accounts;
        c.outboxPath = outbox_;
        c.log = [this](const std::string& line) {
            const std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(line);
        };
        server_ = std::make_unique<zelvogw::GatewayServer>(c);
        started_ = server_->start(&error_);
    }
    ~RunningGateway() {
        server_.reset();
        std::remove(outbox_.c_str());
        ::rmdir(dir_.c_str());
    }
    bool started() const { return started_; }
    const std::string& error() const { return error_; }
    std::uint16_t port() const { return server_->port(); }
    const std::string& outbox() const { return outbox_; }
    const std::string& dir() const { return dir_; }
    std::vector<std::string> log() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }

  private:
    std::string dir_;
    std::string outbox_;
    std::string error_;
    bool started_ = false;
    std::mutex mutex_;
    std::vector<std::string> log_;
    std::unique_ptr<zelvogw::GatewayServer> server_;
};

}  // namespace zelvotest
