#include "server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "charset.h"
#include "servlet.h"

namespace zelvogw {

namespace {

std::string utf8(const std::string& latin1) {
    return zelvotools::latin1ToUtf8(latin1);
}

// A value for the log: UTF-8, controls made visible, line breaks as an arrow.
std::string shown(const std::string& latin1) {
    return zelvotools::printable(utf8(latin1), "\xe2\x86\xb5");
}

std::string utcStamp(std::chrono::system_clock::time_point t) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>(ms));
    return std::string(date) + millis;
}

std::string localStamp(std::chrono::system_clock::time_point t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string peerOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "?";
    if (info->client_addr->sa_family != AF_INET) return "?";
    sockaddr_in sin{};
    std::memcpy(&sin, info->client_addr, sizeof sin);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(sin.sin_port));
}

std::string outboxLine(const Submission& s, std::chrono::system_clock::time_point received,
                       const std::string& peer) {
    nlohmann::ordered_json j;
    j["received"] = utcStamp(received);
    j["test"] = s.test;
    j["kdnr"] = utf8(s.kdnr);
    j["firma"] = s.firma;
    j["user"] = utf8(s.user);
    j["key"] = "***";
    j["receiver"] = utf8(s.receiver);
    j["msg"] = utf8(s.msg);
    j["text"] = utf8(displayText(s.msg));
    if (s.time) {
        j["time"] = utf8(*s.time);
    } else {
        j["time"] = nullptr;
    }
    j["ip"] = utf8(s.ip);
    j["localuser"] = utf8(s.localuser);
    j["host"] = utf8(s.host);
    j["peer"] = peer;
    return j.dump();
}

// The request target exactly as it arrived, kept for the handler.
void* keepTarget(void*, const char* uri, MHD_Connection*) {
    return new std::string(uri != nullptr ? uri : "");
}

void dropTarget(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    delete static_cast<std::string*>(*context);
    *context = nullptr;
}

MHD_Result access(void* cls, MHD_Connection* connection, const char*, const char* method,
                  const char*, const char*, size_t*, void** context) {
    auto* server = static_cast<GatewayServer*>(cls);
    const auto* target = static_cast<const std::string*>(*context);
    return server->handle(connection, method, target != nullptr ? *target : std::string()) ==
                   MHD_YES
               ? MHD_YES
               : MHD_NO;
}

void mhdLog(void*, const char* format, va_list args) {
    std::fputs("zelvo-gateway: ", stderr);
    std::vfprintf(stderr, format, args);
}

// A bound, listening IPv4 socket, or -1 with the reason.
int listenOn(const std::string& address, std::uint16_t port, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        *error = "cannot resolve " + address + ": " + gai_strerror(rc);
        return -1;
    }
    sockaddr_in sin{};
    std::memcpy(&sin, found->ai_addr, sizeof sin);
    freeaddrinfo(found);
    sin.sin_port = htons(port);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    // A restart may reuse the port while old connections linger in TIME_WAIT;
    // a second listener is still refused.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const std::string where = address + ":" + std::to_string(port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EADDRINUSE) {
            *error = "port " + std::to_string(port) + " on " + address +
                     " is already in use by another program; stop it or choose another port "
                     "with --listen ADDR:PORT";
        } else {
            *error = "cannot listen on " + where + ": " + std::strerror(e);
        }
        return -1;
    }
    if (::listen(fd, 64) != 0) {
        *error = "cannot listen on " + where + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

GatewayServer::GatewayServer(ServerConfig config) : config_(std::move(config)) {}

GatewayServer::~GatewayServer() {
    stop();
}

bool GatewayServer::start(std::string* error) {
    if (!outbox_.open(config_.outboxPath, error)) return false;
    const int fd = listenOn(config_.address, config_.port, error);
    if (fd < 0) return false;

    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
    boundPort_ = ntohs(bound.sin_port);
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text);
    boundAddress_ = text;

    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG, 0,
        nullptr, nullptr, &access, this, MHD_OPTION_EXTERNAL_LOGGER, &mhdLog,
        static_cast<void*>(nullptr), MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(fd),
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(64), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned int>(30), MHD_OPTION_URI_LOG_CALLBACK, &keepTarget,
        static_cast<void*>(nullptr), MHD_OPTION_NOTIFY_COMPLETED, &dropTarget,
        static_cast<void*>(nullptr), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        ::close(fd);
        *error = "the HTTP server could not be started";
        return false;
    }
    return true;
}

void GatewayServer::stop() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);  // closes the listening socket too
        daemon_ = nullptr;
    }
}

void GatewayServer::logLine(const std::string& line) {
    if (!config_.log) return;
    const std::lock_guard<std::mutex> lock(logMutex_);
    config_.log(line);
}

int GatewayServer::handle(MHD_Connection* connection, const char* method,
                          const std::string& target) {
    const auto now = std::chrono::system_clock::now();
    const std::string peer = peerOf(connection);
    const Target t = splitTarget(target);

    int status = 200;
    std::string line;
    std::string details;
    if (std::strcmp(method, "GET") != 0) {
        status = 405;
        line = answer::kOnlyGet;
        details = "method=" + shown(method) + " path=" + shown(t.path);
    } else if (t.path != kServletPath) {
        status = 404;
        line = answer::kNotFound;
        details = "path=" + shown(t.path);
    } else {
        Verdict v = evaluate(parseQuery(t.query), config_.accounts);
        status = v.status;
        line = v.line;
        const Submission& s = v.submission;
        if (v.accepted) {
            std::string why;
            if (!outbox_.append(outboxLine(s, now, peer), &why)) {
                std::fprintf(stderr, "zelvo-gateway: %s: message not stored, not confirmed\n",
                             why.c_str());
                status = 500;
                line = answer::kNotStored;
            }
        }
        if (status != 400) {
            details = "kdnr=" + shown(s.kdnr) + " firma=" + std::to_string(s.firma) +
                      " user=" + shown(s.user) + " to=" + shown(s.receiver);
            if (s.time) details += " time=" + shown(*s.time);
            if (s.test) details += " TEST";
            details += " from=" + shown(s.localuser) + "@" + shown(s.host) + "/" + shown(s.ip);
            details += " text=\"" + shown(displayText(s.msg)) + "\"";
        } else {
            // The values are not shown: a malformed query may still hold a key.
            details = "malformed query of " + std::to_string(t.query.size()) + " bytes";
        }
    }

    logLine(localStamp(now) + " " + peer + " " + std::to_string(status) + " \"" + utf8(line) +
            "\" " + details);

    MHD_Response* response = MHD_create_response_from_buffer(
        line.size(), const_cast<char*>(line.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                            "text/plain; charset=ISO-8859-1");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned int>(status), response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace zelvogw
