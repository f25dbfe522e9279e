// The runner's configuration: an INI file with the gateway, the accounts and
// the limits. Keys are never in it: each account names a key file.
#pragma once

#include <map>
#include <string>

#include "send_core.h"

namespace zelvoqueue {

struct Account {
    std::string kdnr;  // prepared for the query
    int firma = 0;
    std::string user;  // Latin-1
    std::string keyFile;
    std::string key;  // Latin-1, filled by loadKeys()
};

struct Config {
    zelvonet::Gateway gateway = zelvonet::builtinGateway();
    std::string proxyHost;
    int proxyPort = 0;
    int timeoutSeconds = 30;
    std::map<std::string, Account> accounts;  // "" is [account]
    int perSecond = 10;
    int perRecipientPerMinute = 6;
    long long ttl = 3600;
    int maxAttempts = 10;
    long long dedupWindow = 86400;  // seconds a key of `add --dedup-key` is held
    std::string metricsListen;      // [metrics] listen: where the runner serves /metrics

    // [serve]: the HTTP interface.
    std::string serveListen = "127.0.0.1:8425";
    std::string tokensPath = "/etc/zelvo/tokens";
    bool serveMetrics = false;
    long long alertmanagerWindow = 300;  // seconds a notification's key is held
    int perTokenPerSecond = 50;          // submissions of one token in any one second
    int serveConnections = 256;          // connections at once
    int idleTimeout = 10;                // seconds a connection may stay silent
    int totalTimeout = 30;               // seconds a connection may stay open
    std::string tlsCert, tlsKey;         // PEM files; both or neither

    // The send core's time-outs: the receive idle time-out is `timeout`,
    // connecting and sending give up after at most as long, the whole
    // answer must be there within four times as long.
    zelvonet::Timeouts timeouts() const;
    // How long a send can take at most, with a margin: a claim held longer
    // belongs to a runner that died.
    double leaseSeconds() const;
};

// --config, else $ZELVO_QUEUE_CONFIG, else /etc/zelvo/queue.conf.
std::string configPath(const std::string& option);

// Reads and checks the file. False with the reason (file and line) in `why`.
bool loadConfig(const std::string& path, Config* config, std::string* why);

// Reads each account's key from its key file, which others may not read.
bool loadKeys(Config* config, std::string* why);

}  // namespace zelvoqueue
