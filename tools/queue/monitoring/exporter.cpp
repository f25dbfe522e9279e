#include "exporter.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstring>
#include <stdexcept>
#include <string_view>

namespace zelvoqueue {

namespace {

thread_local std::string tServerError;

MHD_Result respond(MHD_Connection* c, unsigned status, const std::string& body, const char* type) {
    MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                      MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) MHD_add_response_header(r, "Allow", "GET, HEAD");
    const MHD_Result ok = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result handle(void* self, MHD_Connection* c, const char* url, const char* method, const char*,
                  const char*, size_t*, void**) {
    constexpr char kText[] = "text/plain; charset=utf-8";
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0) {
        return respond(c, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD\n", kText);
    }
    if (std::strcmp(url, "/metrics") != 0) {
        return respond(c, MHD_HTTP_NOT_FOUND, "only /metrics\n", kText);
    }
    return respond(c, MHD_HTTP_OK, static_cast<MetricsServer*>(self)->page(), kMetricsType);
}

// "PORT", "ADDR:PORT" or "[ADDR]:PORT" into a host and a port.
void splitListen(const std::string& listen, const std::string& what, std::string* host,
                 std::string* port) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) {
        *host = "127.0.0.1";
        *port = listen;
    } else {
        *host = listen.substr(0, colon);
        *port = listen.substr(colon + 1);
        if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
            *host = host->substr(1, host->size() - 2);
        }
    }
    if (host->empty() || port->empty() || port->size() > 5 ||
        port->find_first_not_of("0123456789") != std::string::npos || std::stoi(*port) > 65535) {
        throw std::runtime_error(what + ": \"" + listen +
                                 "\" is not PORT, ADDR:PORT or [ADDR]:PORT");
    }
}

}  // namespace

void keepServerError(void*, const char* format, va_list args) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf, format, args);
    tServerError = buf;
    while (!tServerError.empty() && tServerError.back() == '\n') tServerError.pop_back();
}

std::string takeServerError() {
    std::string why;
    why.swap(tServerError);
    // Given a socket address, the library names the port it was handed
    // apart, always 0 ("Failed to bind to port 0: ..."): only the reason counts.
    constexpr std::string_view kBind = "Failed to bind to port ";
    if (why.rfind(kBind, 0) == 0) {
        if (const auto colon = why.find(": "); colon != std::string::npos) why.erase(0, colon + 2);
    }
    return why;
}

std::string ListenAddress::show(unsigned port) const {
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

unsigned ListenAddress::port() const {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
    return ntohs(v6 ? in6->sin6_port : in->sin_port);
}

ListenAddress resolveListen(const std::string& listen, const std::string& what) {
    std::string host, port;
    splitListen(listen, what, &host, &port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        throw std::runtime_error(what + ": " + host + ": " + ::gai_strerror(rc));
    }
    ListenAddress a;
    std::memcpy(&a.addr, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    a.host = host;
    a.v6 = a.addr.ss_family == AF_INET6;
    if (a.v6) {
        a.loopback = IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<sockaddr_in6*>(&a.addr)->sin6_addr);
    } else {
        a.loopback = (ntohl(reinterpret_cast<sockaddr_in*>(&a.addr)->sin_addr.s_addr) >> 24) == 127;
    }
    return a;
}

MetricsServer::MetricsServer(const std::string& listen, const std::string& where,
                             const RunnerMetrics& runner)
    : where_(where), runner_(runner) {
    ListenAddress a = resolveListen(listen, "metrics");
    takeServerError();
    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG | (a.v6 ? MHD_USE_IPv6 : 0), 0, nullptr,
        nullptr, &handle, this, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&a.addr),
        MHD_OPTION_EXTERNAL_LOGGER, &keepServerError, nullptr, MHD_OPTION_CONNECTION_LIMIT, 16u,
        MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (!daemon_) {
        const std::string why = takeServerError();
        throw std::runtime_error("metrics: cannot listen on " + listen +
                                 (why.empty() ? "" : ": " + why));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    address_ = a.show(info ? info->port : 0);
}

MetricsServer::~MetricsServer() {
    if (daemon_) MHD_stop_daemon(daemon_);
}

std::string MetricsServer::page() {
    std::string queue;
    try {
        if (!store_) store_ = openStore(where_, 2, false);
        queue = queueMetrics(store_->health());
    } catch (const std::exception&) {
        store_.reset();  // a new connection at the next scrape
        queue.clear();
    }
    return queue +
           "# HELP zelvo_queue_database_up Whether the queue could be read for this page.\n"
           "# TYPE zelvo_queue_database_up gauge\n"
           "zelvo_queue_database_up " +
           std::string(queue.empty() ? "0" : "1") + "\n" + runner_.text();
}

}  // namespace zelvoqueue
