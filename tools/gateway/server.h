// The gateway simulator's HTTP side: one servlet path, answers as the
// operator's gateway gives them, every accepted message stored first.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "accounts.h"
#include "outbox.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace zelvogw {

struct ServerConfig {
    std::string address = "127.0.0.1";  // IPv4 address or host name
    std::uint16_t port = 8080;          // 0: any free port
    std::vector<Account> accounts;
    std::string outboxPath;
    // Receives one UTF-8 line (without line end) per request; called from
    // the connections' threads, one call at a time.
    std::function<void(const std::string&)> log;
};

class GatewayServer {
  public:
    explicit GatewayServer(ServerConfig config);
    ~GatewayServer();
    GatewayServer(const GatewayServer&) = delete;
    GatewayServer& operator=(const GatewayServer&) = delete;

    // Opens the outbox, binds and starts serving. On failure says why; a
    // port in use is named as such.
    bool start(std::string* error);
    // Stops accepting, ends open connections and waits for their threads.
    void stop();

    std::uint16_t port() const { return boundPort_; }
    std::string boundAddress() const { return boundAddress_; }

    // Used by the HTTP library's callbacks.
    int handle(MHD_Connection* connection, const char* method, const std::string& target);

  private:
    void logLine(const std::string& line);

    ServerConfig config_;
    Outbox outbox_;
    MHD_Daemon* daemon_ = nullptr;
    std::uint16_t boundPort_ = 0;
    std::string boundAddress_;
    std::mutex logMutex_;
};

}  // namespace zelvogw
