// `zelvo-queue serve`: the HTTP interface, until SIGTERM or SIGINT.
#pragma once

#include <string>

namespace zelvoqueue {

struct ServeArgs {
    std::string listen;  // default: [serve] listen, 127.0.0.1:8425
    std::string tokens;  // default: $ZELVO_QUEUE_TOKENS, else [serve] tokens
    std::string tlsCert, tlsKey;
    bool insecureListen = false;  // plain HTTP also on an address other than loopback
};

// The exit status: 0 stopped by a signal, 2 the queue cannot be used, 78
// the configuration, the token file, the certificate or the address is
// unusable.
int serveQueue(const std::string& database, const std::string& configOption, const ServeArgs& args);

}  // namespace zelvoqueue
