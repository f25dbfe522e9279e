#include "store.h"

#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace zelvoqueue {

const char* stateName(State s) {
    switch (s) {
        case State::Queued:
            return "queued";
        case State::Sending:
            return "sending";
        case State::Accepted:
            return "accepted";
        case State::Refused:
            return "refused";
        case State::Failed:
            return "failed";
        case State::Unknown:
            return "unknown";
        case State::Expired:
            return "expired";
        case State::Dropped:
            return "dropped";
    }
    return "?";
}

std::optional<State> stateFromName(const std::string& name) {
    for (State s : kAllStates) {
        if (name == stateName(s)) return s;
    }
    return std::nullopt;
}

bool retryAllowed(State s) {
    return s == State::Unknown || s == State::Failed || s == State::Expired;
}

bool dropAllowed(State s) {
    return s == State::Queued || retryAllowed(s);
}

std::string defaultDatabase() {
    if (const char* env = std::getenv("ZELVO_QUEUE_DB"); env && *env) return env;
    if (::geteuid() == 0) return "/var/lib/zelvo/queue.db";
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
        return std::string(state) + "/zelvo/queue.db";
    }
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) {
        home = pw->pw_dir;
    }
    return home + "/.local/state/zelvo/queue.db";
}

std::string toHex(const unsigned char* bytes, std::size_t n) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

std::string randomHex(std::size_t n) {
    std::vector<unsigned char> bytes(n);
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::getrandom(bytes.data() + got, n - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        got += static_cast<std::size_t>(r);
    }
    return toHex(bytes.data(), n);
}

std::string fingerprint(const NewMessage& m) {
    // Each field with its length, so that no two messages can share a text;
    // the bytes as hex, so that the text is valid in any database encoding.
    std::string plain;
    for (const std::string* f : {&m.receiver, &m.body, &m.time, &m.account}) {
        plain += std::to_string(f->size()) + ":" + *f;
    }
    plain += std::to_string(m.test) + ":" + std::to_string(m.ttl);
    return "1:" + toHex(reinterpret_cast<const unsigned char*>(plain.data()), plain.size());
}

std::string newToken() {
    return randomHex(16);
}

bool isPostgresUri(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> openStore(const std::string& where, double patience, bool create) {
    if (isPostgresUri(where)) {
        return openPostgres(where, patience, create);
    }
    return openSqlite(where, patience, create);
}

}  // namespace zelvoqueue
