// The runner's metrics page: GET /metrics in the Prometheus text format,
// served by libmicrohttpd on a thread of its own. Nothing else is served.
#pragma once

#include <cstdarg>
#include <memory>
#include <string>

#include "metrics.h"

#include <sys/socket.h>

struct MHD_Daemon;

namespace zelvoqueue {

// An address to listen on: "PORT" (on 127.0.0.1), "ADDR:PORT" or
// "[IPv6]:PORT"; port 0 takes a free one.
struct ListenAddress {
    sockaddr_storage addr{};
    std::string host;
    bool v6 = false;
    bool loopback = false;  // 127.0.0.0/8 or ::1

    // "127.0.0.1:9101" or "[::1]:9101".
    std::string show(unsigned port) const;
    // The port asked for (0: any free one).
    unsigned port() const;
};

// Throws std::runtime_error with the reason, naming `what` ("metrics").
ListenAddress resolveListen(const std::string& listen, const std::string& what);

// libmicrohttpd's logger while a server starts (MHD_OPTION_EXTERNAL_LOGGER):
// its last message on this thread, for the error when it does not start.
void keepServerError(void*, const char* format, va_list args);
// That message since the last call ("" when none), cleared.
std::string takeServerError();

class MetricsServer {
  public:
    // Listens on `listen`: "PORT" (on 127.0.0.1), "ADDR:PORT" or
    // "[IPv6]:PORT"; port 0 takes a free one. Each scrape reads the
    // queue-wide figures of the queue `where` on a connection of its own
    // (opened again after a failure; while the database cannot be read,
    // zelvo_queue_database_up is 0 and only `runner`'s figures are given).
    // Throws std::runtime_error with the reason when it cannot listen.
    MetricsServer(const std::string& listen, const std::string& where, const RunnerMetrics& runner);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Where it listens, as "127.0.0.1:9101" or "[::1]:9101".
    const std::string& address() const { return address_; }

    // The page, as one scrape gets it.
    std::string page();

  private:
    const std::string where_;
    const RunnerMetrics& runner_;
    std::unique_ptr<Store> store_;  // used by the server's one thread only
    std::string address_;
    MHD_Daemon* daemon_ = nullptr;
};

}  // namespace zelvoqueue
