#include "local_facts.h"

#include "socket_layer.h"

namespace zelvonet {

LocalFacts gatherLocalFacts() {
    LocalFacts facts;
    facts.user = net::localUserName();
    facts.host = net::localHostName();
    std::uint32_t address = 0;
    if (!facts.host.empty() && net::resolveIPv4(facts.host, &address)) {
        facts.ip = net::dottedIPv4(address);
    }
    return facts;
}

}  // namespace zelvonet
