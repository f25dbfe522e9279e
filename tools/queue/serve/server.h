// The interface's HTTP server: libmicrohttpd in its epoll mode. Each
// request's body is read (at most 16 KiB), the connection is suspended
// while a worker answers it, and resumed for the answer, so that slow
// commits never hold the thread that serves the others.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api.h"
#include "exporter.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace zelvoqueue {

struct ServerLimits {
    unsigned connections = 256;      // at once; beyond, a new one is closed
    unsigned perAddress = 128;       // at once from one client address
    unsigned idleSeconds = 10;       // a connection silent this long is closed
    unsigned totalSeconds = 30;      // a connection open this long is closed
    std::size_t headerBytes = 8192;  // all header lines of a request
    std::size_t bodyBytes = 16384;   // a request's body
    int workers = 64;                // requests answered at once
};

class Server {
  public:
    // Listens on `where`; with `tlsCert` and `tlsKey` (PEM texts) HTTPS.
    // Throws std::runtime_error with the reason. Each request's line goes
    // to `log`.
    Server(Api& api, const ListenAddress& where, const ServerLimits& limits,
           const std::string& tlsCert, const std::string& tlsKey, std::FILE* log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    unsigned port() const { return port_; }

  private:
    struct Exchange;
    friend struct Handlers;

    void post(std::function<void()> job);
    void work();
    void sweep();

    Api& api_;
    const ServerLimits limits_;
    const std::string tlsCert_, tlsKey_;  // kept while the server runs
    std::FILE* log_;
    MHD_Daemon* daemon_ = nullptr;
    unsigned port_ = 0;

    std::mutex jobsMu_;
    std::condition_variable jobsReady_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> workers_;
    int working_ = 0;  // workers not yet gone; 0: a job runs where it is posted

    std::mutex openMu_;
    struct Open {
        int fd;
        std::chrono::steady_clock::time_point since;
        bool cut;
    };
    std::map<MHD_Connection*, Open> open_;
    std::thread sweeper_;

    std::atomic<bool> stopping_{false};
    std::mutex logMu_;
};

}  // namespace zelvoqueue
