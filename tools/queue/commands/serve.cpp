#include "serve.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "api.h"
#include "config.h"
#include "runner.h"
#include "server.h"
#include "tokens.h"

namespace zelvoqueue {

namespace {

std::atomic<bool> gServeStop{false};

void onServeStop(int) {
    gServeStop = true;
}

int fail(int code, const std::string& what) {
    std::fprintf(stderr, "zelvo-queue: %s\n", what.c_str());
    return code;
}

bool readFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return in.good() || in.eof();
}

}  // namespace

int serveQueue(const std::string& database, const std::string& configOption,
               const ServeArgs& args) {
    Config config;
    std::string why;
    const std::string path = configPath(configOption);
    if (!loadConfig(path, &config, &why)) return fail(78, why);
    const char* env = std::getenv("ZELVO_QUEUE_TOKENS");
    const std::string tokensPath = !args.tokens.empty() ? args.tokens
                                   : env && *env        ? std::string(env)
                                                        : config.tokensPath;
    Tokens tokens(tokensPath);
    if (!tokens.load(&why)) return fail(78, why);

    const std::string certPath = args.tlsCert.empty() ? config.tlsCert : args.tlsCert;
    const std::string keyPath = args.tlsKey.empty() ? config.tlsKey : args.tlsKey;
    if (certPath.empty() != keyPath.empty()) {
        return fail(78, "HTTPS needs both a certificate and its key (--tls-cert, --tls-key)");
    }
    std::string cert, key;
    if (!certPath.empty() &&
        (!readFile(certPath, &cert) || !readFile(keyPath, &key) || cert.empty() || key.empty())) {
        return fail(78, "cannot read the certificate " + certPath + " or its key " + keyPath);
    }
    ListenAddress where;
    try {
        where = resolveListen(args.listen.empty() ? config.serveListen : args.listen, "serve");
    } catch (const std::exception& e) {
        return fail(78, e.what());
    }
    if (cert.empty() && !where.loopback && !args.insecureListen) {
        return fail(78,
                    "serve: plain HTTP only on a loopback address; give --tls-cert and "
                    "--tls-key, or --insecure-listen when a proxy in front adds TLS");
    }
    // Every connection is a descriptor: as many as this process may have.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }

    struct sigaction sa {};
    sa.sa_handler = onServeStop;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    try {
        auto store = openPatiently(database, gServeStop, stdout);
        if (!store) return 0;
        store->setPatience(2);
        Api api(*store, tokens, config);
        std::unique_ptr<Server> server;
        try {
            ServerLimits limits;
            limits.connections = static_cast<unsigned>(config.serveConnections);
            limits.perAddress = std::max(1u, limits.connections / 2);
            limits.idleSeconds = static_cast<unsigned>(config.idleTimeout);
            limits.totalSeconds = static_cast<unsigned>(config.totalTimeout);
            server = std::make_unique<Server>(api, where, limits, cert, key, stdout);
        } catch (const std::exception& e) {
            return fail(78, e.what());
        }
        std::printf("zelvo-queue: serving %s://%s/ for %s\n", cert.empty() ? "http" : "https",
                    where.show(server->port()).c_str(), store->where().c_str());
        std::fflush(stdout);
        while (!gServeStop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } catch (const StoreError& e) {
        return fail(2, e.what());
    }
    return 0;
}

}  // namespace zelvoqueue
