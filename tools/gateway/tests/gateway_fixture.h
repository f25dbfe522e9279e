// The simulator as a user starts it: the zelvo-gateway program on an
// ephemeral loopback port, its outbox in a fresh temporary directory; and a
// client that sends a request byte for byte and reads the whole reply.
#pragma once

#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <regex>

#include "process.h"

namespace zelvotest {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// `text` with what varies from run to run (times, client ports) replaced.
inline std::string blank(const std::string& text, const char* pattern, const char* by) {
    return std::regex_replace(text, std::regex(pattern), by);
}

// Sends `request` to 127.0.0.1:`port`; the reply until the peer closes (at
// most 10 s without a byte).
inline std::string exchange(std::uint16_t port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sin{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    std::string reply;
    char buf[4096];
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
        for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;)
            reply.append(buf, std::size_t(n));
    }
    ::close(fd);
    return reply;
}

class Simulator {
  public:
    // `prefix` runs the program, e.g. a shell that sets a limit first.
    explicit Simulator(const std::vector<std::string>& args = {},
                       std::vector<std::string> prefix = {})
        : argv_(std::move(prefix)) {
        char dir[] = "/tmp/zelvo-tools-XXXXXX";
        dir_ = mkdtemp(dir) != nullptr ? dir : "/nonexistent";
        argv_.insert(argv_.end(),
                     {ZELVO_GATEWAY_BIN, "--listen", "127.0.0.1:0", "--outbox", outbox()});
        argv_.insert(argv_.end(), args.begin(), args.end());
        start();
    }
    ~Simulator() {
        process_.reset();
        run({"/bin/rm", "-rf", dir_});
    }
    // Starts the program (again); port() is 0 when it did not start.
    void start() {
        process_ = std::make_unique<Process>(argv_);
        const std::string line = process_->waitForLine("listening on 127.0.0.1:");
        port_ = static_cast<std::uint16_t>(
            line.empty() ? 0 : std::stoi(line.substr(line.find("127.0.0.1:") + 10)));
    }
    Finished stop(int sig = SIGTERM) {
        process_->signal(sig);
        return process_->finish();
    }
    std::uint16_t port() const { return port_; }
    std::string where() const { return "127.0.0.1:" + std::to_string(port_); }
    const std::string& dir() const { return dir_; }
    std::string outbox() const { return dir_ + "/outbox.jsonl"; }
    // The outbox, the time of receipt and the client as "*" where they have their form.
    std::string records() const {
        return blank(readFile(outbox()),
                     R"x("(received)":"[\d-]{10}T[\d:]{8}\.\d{3}Z"|"(peer)":"127\.0\.0\.1:\d+")x",
                     R"("$1$2":"*")");
    }

  private:
    std::vector<std::string> argv_;
    std::string dir_;
    std::unique_ptr<Process> process_;
    std::uint16_t port_ = 0;
};

}  // namespace zelvotest
