#include "server.h"

#include <microhttpd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstring>
#include <stdexcept>

namespace zelvoqueue {

namespace {

using Clock = std::chrono::steady_clock;

std::string header(MHD_Connection* c, const char* name) {
    const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return v ? v : "";
}

}  // namespace

// One request on its way through the server.
struct Server::Exchange {
    Clock::time_point started = Clock::now();
    Request request;
    std::size_t headerBytes = 0;
    bool tooLarge = false;
    bool dispatched = false;
    bool ready = false;
    Response response;
};

// The C callbacks of libmicrohttpd; no exception leaves them.
struct Handlers {
    static MHD_Result countHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
        auto* x = static_cast<Server::Exchange*>(cls);
        x->headerBytes += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
        return MHD_YES;
    }

    static MHD_Result collectQuery(void* cls, MHD_ValueKind, const char* key, const char* value) {
        static_cast<Server::Exchange*>(cls)->request.query.emplace_back(key, value ? value : "");
        return MHD_YES;
    }

    static MHD_Result answer(MHD_Connection* c, const Response& r) {
        MHD_Response* m = MHD_create_response_from_buffer(
            r.body.size(), const_cast<char*>(r.body.data()), MHD_RESPMEM_MUST_COPY);
        if (!m) return MHD_NO;
        MHD_add_response_header(m, MHD_HTTP_HEADER_CONTENT_TYPE, r.type.c_str());
        MHD_add_response_header(m, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(m, "Cache-Control", "no-store");
        for (const auto& [name, value] : r.headers) {
            MHD_add_response_header(m, name.c_str(), value.c_str());
        }
        const MHD_Result ok = MHD_queue_response(c, r.status, m);
        MHD_destroy_response(m);
        return ok;
    }

    // Answers at once, before the body is read: the request is refused.
    static MHD_Result refuse(Server::Exchange* x, MHD_Connection* c, unsigned status,
                             const std::string& why) {
        x->response = errorResponse(status, why);
        x->response.token = "-";
        x->ready = true;
        return answer(c, x->response);
    }

    static MHD_Result access(void* cls, MHD_Connection* c, const char* url, const char* method,
                             const char*, const char* upload, size_t* size, void** context) try {
        auto* self = static_cast<Server*>(cls);
        auto* x = static_cast<Server::Exchange*>(*context);
        if (!x) {
            x = new Server::Exchange;
            *context = x;
            x->request.method = method;
            x->request.path = url;
            MHD_get_connection_values(c, MHD_HEADER_KIND, &countHeader, x);
            if (x->headerBytes > self->limits_.headerBytes) {
                return refuse(x, c, 431, "the request's header is larger than 8 KiB");
            }
            const std::string length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
            if (!length.empty() && !header(c, MHD_HTTP_HEADER_TRANSFER_ENCODING).empty()) {
                return refuse(x, c, 400, "Content-Length and Transfer-Encoding together");
            }
            if (!length.empty() && (length.size() > 12 ||
                                    length.find_first_not_of("0123456789") != std::string::npos ||
                                    std::stoull(length) > self->limits_.bodyBytes)) {
                return refuse(x, c, 413, "the body is larger than 16 KiB");
            }
            return MHD_YES;
        }
        if (*size > 0) {
            if (x->request.body.size() + *size > self->limits_.bodyBytes) {
                x->tooLarge = true;
            } else if (!x->tooLarge) {
                x->request.body.append(upload, *size);
            }
            *size = 0;
            return MHD_YES;
        }
        if (x->ready) return answer(c, x->response);
        if (x->dispatched) return MHD_YES;
        if (x->tooLarge) return refuse(x, c, 413, "the body is larger than 16 KiB");
        Request& r = x->request;
        r.authorization = header(c, MHD_HTTP_HEADER_AUTHORIZATION);
        r.contentType = header(c, MHD_HTTP_HEADER_CONTENT_TYPE);
        r.acceptLanguage = header(c, MHD_HTTP_HEADER_ACCEPT_LANGUAGE);
        const char* key = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Idempotency-Key");
        r.hasIdempotencyKey = key != nullptr;
        r.idempotencyKey = key ? key : "";
        MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &collectQuery, x);
        x->dispatched = true;
        MHD_suspend_connection(c);
        self->post([self, x, c] {
            try {
                x->response = self->api_.handle(x->request);
            } catch (const std::exception& e) {
                x->response = errorResponse(500, std::string("internal error: ") + e.what());
            }
            x->ready = true;
            MHD_resume_connection(c);
        });
        return MHD_YES;
    } catch (const std::exception&) {
        return MHD_NO;  // the connection is closed
    }

    static void completed(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
        auto* self = static_cast<Server*>(cls);
        auto* x = static_cast<Server::Exchange*>(*context);
        if (!x) return;
        *context = nullptr;
        const double seconds = std::chrono::duration<double>(Clock::now() - x->started).count();
        if (x->ready) {
            self->api_.finished(x->response.status, seconds);
            // The path, never the query (it may name recipients) nor a body.
            std::lock_guard<std::mutex> hold(self->logMu_);
            std::fprintf(self->log_, "%s %s %u %s %.1f ms\n", x->request.method.c_str(),
                         x->request.path.c_str(), x->response.status,
                         x->response.token.empty() ? "-" : x->response.token.c_str(),
                         seconds * 1000);
            std::fflush(self->log_);
        }
        delete x;
    }

    static void connection(void* cls, MHD_Connection* c, void**,
                           MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<Server*>(cls);
        std::lock_guard<std::mutex> hold(self->openMu_);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            if (info) self->open_[c] = {info->connect_fd, Clock::now(), false};
        } else {
            self->open_.erase(c);
        }
    }
};

Server::Server(Api& api, const ListenAddress& where, const ServerLimits& limits,
               const std::string& tlsCert, const std::string& tlsKey, std::FILE* log)
    : api_(api), limits_(limits), tlsCert_(tlsCert), tlsKey_(tlsKey), log_(log) {
    ListenAddress a = where;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_SOCK_ADDR, 0, &a.addr},
        {MHD_OPTION_CONNECTION_LIMIT, limits.connections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.perAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, limits.idleSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, 32768, nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Handlers::completed), this},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Handlers::connection), this},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&keepServerError), nullptr},
    };
    if (!tlsCert_.empty()) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tlsCert_.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tlsKey_.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    working_ = limits.workers;
    for (int i = 0; i < limits.workers; ++i) workers_.emplace_back([this] { work(); });
    takeServerError();
    daemon_ = MHD_start_daemon(MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                                   MHD_USE_ERROR_LOG | (a.v6 ? MHD_USE_IPv6 : 0) |
                                   (tlsCert_.empty() ? 0 : MHD_USE_TLS),
                               0, nullptr, nullptr, &Handlers::access, this, MHD_OPTION_ARRAY,
                               options.data(), MHD_OPTION_END);
    if (!daemon_) {
        stopping_ = true;
        jobsReady_.notify_all();
        for (auto& t : workers_) t.join();
        const std::string why = takeServerError();
        throw std::runtime_error("serve: cannot listen on " + a.show(a.port()) +
                                 (why.empty() ? "" : ": " + why));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : 0;
    sweeper_ = std::thread([this] { sweep(); });
}

Server::~Server() {
    // No new connection; the requests under way are answered, also those
    // that come after the workers are gone, so that none stays suspended.
    const MHD_socket listening = MHD_quiesce_daemon(daemon_);
    if (listening != MHD_INVALID_SOCKET) ::close(listening);
    stopping_ = true;
    jobsReady_.notify_all();
    for (auto& t : workers_) t.join();
    if (sweeper_.joinable()) sweeper_.join();
    MHD_stop_daemon(daemon_);
}

void Server::post(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> hold(jobsMu_);
        if (working_ > 0) {
            jobs_.push_back(std::move(job));
            jobsReady_.notify_one();
            return;
        }
    }
    job();
}

void Server::work() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> hold(jobsMu_);
            jobsReady_.wait(hold, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                --working_;
                return;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

// A connection open longer than the total time is cut, however busy: so
// that a client sending a byte a second cannot keep its slot.
void Server::sweep() {
    while (!stopping_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const auto limit = Clock::now() - std::chrono::seconds(limits_.totalSeconds);
        std::lock_guard<std::mutex> hold(openMu_);
        for (auto& [c, o] : open_) {
            if (!o.cut && o.since < limit) {
                ::shutdown(o.fd, SHUT_RDWR);
                o.cut = true;
            }
        }
    }
}

}  // namespace zelvoqueue
