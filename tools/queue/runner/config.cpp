#include "config.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>

#include "prepare.h"

namespace zelvoqueue {

namespace {

struct Reader {
    Config* config;
    std::string why;
    std::set<std::string> seenAccounts;
};

bool number(const std::string& text, long long low, long long high, long long* out) {
    if (text.empty() || text.size() > 12 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long long v = std::stoll(text);
    if (v < low || v > high) return false;
    *out = v;
    return true;
}

// One "name = value" of the file; false ends the reading with r->why set.
bool entry(Reader* r, const std::string& section, const std::string& name,
           const std::string& value) {
    Config& c = *r->config;
    auto wantNumber = [&](long long low, long long high, auto* out) {
        long long v = 0;
        if (!number(value, low, high, &v)) {
            r->why = "[" + section + "] " + name + " wants a whole number from " +
                     std::to_string(low) + " to " + std::to_string(high) + ", not \"" + value +
                     "\"";
            return false;
        }
        *out = static_cast<std::remove_pointer_t<decltype(out)>>(v);
        return true;
    };
    if (section == "gateway") {
        if (name == "host") {
            if (value.empty() || value.find_first_of(" /?#@:") != std::string::npos) {
                r->why = "[gateway] host wants a host name or address, not \"" + value + "\"";
                return false;
            }
            c.gateway.host = value;
            return true;
        }
        if (name == "port") return wantNumber(1, 65535, &c.gateway.port);
        if (name == "timeout") return wantNumber(1, 3600, &c.timeoutSeconds);
        if (name == "proxy") {
            if (!zelvosend::parseHostPort(value, 0, &c.proxyHost, &c.proxyPort)) {
                r->why = "[gateway] proxy wants HOST:PORT, not \"" + value + "\"";
                return false;
            }
            return true;
        }
    } else if (section == "limits") {
        if (name == "per-second") return wantNumber(0, 1000000, &c.perSecond);
        if (name == "per-recipient-per-minute") {
            return wantNumber(0, 1000000, &c.perRecipientPerMinute);
        }
        if (name == "ttl") return wantNumber(0, 100LL * 365 * 86400, &c.ttl);
        if (name == "max-attempts") return wantNumber(1, 1000, &c.maxAttempts);
        if (name == "dedup-window") return wantNumber(1, 100LL * 365 * 86400, &c.dedupWindow);
    } else if (section == "serve") {
        if (name == "listen") {
            c.serveListen = value;
            return true;
        }
        if (name == "tokens") {
            c.tokensPath = value;
            return true;
        }
        if (name == "metrics") {
            if (value != "yes" && value != "no") {
                r->why = "[serve] metrics wants yes or no, not \"" + value + "\"";
                return false;
            }
            c.serveMetrics = value == "yes";
            return true;
        }
        if (name == "connections") return wantNumber(1, 100000, &c.serveConnections);
        if (name == "idle-timeout") return wantNumber(1, 3600, &c.idleTimeout);
        if (name == "total-timeout") return wantNumber(1, 86400, &c.totalTimeout);
        if (name == "per-token-per-second") {
            return wantNumber(1, 1000000, &c.perTokenPerSecond);
        }
        if (name == "alertmanager-window") {
            return wantNumber(1, 100LL * 365 * 86400, &c.alertmanagerWindow);
        }
        if (name == "tls-cert" || name == "tls-key") {
            (name == "tls-cert" ? c.tlsCert : c.tlsKey) = value;
            return true;
        }
    } else if (section == "metrics") {
        if (name == "listen") {
            c.metricsListen = value;
            return true;
        }
    } else if (section == "account" || section.rfind("account ", 0) == 0) {
        const std::string account = section == "account" ? "" : section.substr(8);
        Account& a = c.accounts[account];
        // A field converted as the sender converts it; empty is refused too.
        const auto wantText = [&](const zelvosend::Prepared& p, std::string* out) {
            if (!p.ok || p.value.empty()) {
                r->why = "[" + section + "] " + (p.ok ? name + " is empty" : p.error);
                return false;
            }
            *out = p.value;
            return true;
        };
        if (name == "kdnr") return wantText(zelvosend::prepareRaw("kdnr", value, false), &a.kdnr);
        if (name == "firma") return wantNumber(0, 2147483647, &a.firma);
        if (name == "user") return wantText(zelvosend::prepareText("user", value, false), &a.user);
        if (name == "key-file") {
            a.keyFile = value;
            return true;
        }
        if (name == "key") {
            r->why = "[" + section +
                     "] key: the key is read only from its key file (key-file = FILE), never "
                     "from the configuration";
            return false;
        }
    } else {
        r->why = "unknown section [" + section + "]";
        return false;
    }
    r->why = "unknown setting \"" + name + "\" in [" + section + "]";
    return false;
}

int handler(void* user, const char* section, const char* name, const char* value) {
    auto* r = static_cast<Reader*>(user);
    return entry(r, section, name, value) ? 1 : 0;
}

}  // namespace

zelvonet::Timeouts Config::timeouts() const {
    zelvonet::Timeouts t;
    const int ms = timeoutSeconds * 1000;
    t.connectMs = std::min(t.connectMs, ms);
    t.sendIdleMs = ms;
    t.receiveIdleMs = ms;
    t.receiveTotalMs = 4 * ms;
    return t;
}

double Config::leaseSeconds() const {
    const zelvonet::Timeouts t = timeouts();
    return (t.connectMs + t.sendIdleMs + t.receiveTotalMs) / 1000.0 + 2;
}

std::string configPath(const std::string& option) {
    if (!option.empty()) return option;
    if (const char* env = std::getenv("ZELVO_QUEUE_CONFIG"); env && *env) return env;
    return "/etc/zelvo/queue.conf";
}

bool loadConfig(const std::string& path, Config* config, std::string* why) {
    Reader r{config, {}, {}};
    const int rc = ini_parse(path.c_str(), handler, &r);
    if (rc == -1) {
        *why = "cannot read the configuration " + path + ": " + std::strerror(errno);
        return false;
    }
    if (rc != 0) {
        *why = path + ", line " + std::to_string(rc) + ": " +
               (r.why.empty() ? "not a \"name = value\" line or [section]" : r.why);
        return false;
    }
    for (const auto& [name, a] : config->accounts) {
        const std::string section = name.empty() ? "[account]" : "[account " + name + "]";
        if (a.kdnr.empty() || a.user.empty() || a.keyFile.empty()) {
            *why = path + ": " + section + " needs kdnr, user and key-file";
            return false;
        }
    }
    return true;
}

bool loadKeys(Config* config, std::string* why) {
    for (auto& [name, a] : config->accounts) {
        std::string utf8;
        if (!zelvosend::readKeyFile(a.keyFile, true, &utf8, why)) return false;
        const auto p = zelvosend::prepareText("the key", utf8, false);
        if (!p.ok || p.value.empty()) {
            *why = "the key file " + a.keyFile + ": " + (p.ok ? "the key is empty" : p.error);
            return false;
        }
        a.key = p.value;
    }
    return true;
}

}  // namespace zelvoqueue
