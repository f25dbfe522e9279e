#include "local_facts.h"

#include <chrono>
#include <mutex>

#include "socket_layer.h"

namespace zelvonet {

namespace {

using Clock = std::chrono::steady_clock;

// Looking the user and the host's address up costs more than a loopback
// exchange (the name service reads its files on every query), so a lookup
// is reused for a few seconds by calls of the same user on a host of the
// same name. The host name itself is read on every call.
constexpr auto kFactsLifetime = std::chrono::seconds(5);

struct Remembered {
    bool valid = false;
    Clock::time_point when;
    std::string key;
    std::string value;

    bool fresh(const std::string& k, Clock::time_point now) const {
        return valid && key == k && now - when < kFactsLifetime;
    }
};

std::mutex cacheMutex;
Remembered userCache;     // key: the effective user's identity
Remembered addressCache;  // key: the host name

// The cached value for `key`, or `lookup()` (remembered for later calls).
template <class Lookup>
std::string remembered(Remembered& slot, const std::string& key, Lookup lookup) {
    const Clock::time_point now = Clock::now();
    {
        const std::lock_guard<std::mutex> lock(cacheMutex);
        if (slot.fresh(key, now)) return slot.value;
    }
    std::string value = lookup();  // outside the lock: it may take long
    const std::lock_guard<std::mutex> lock(cacheMutex);
    slot.valid = true;
    slot.when = now;
    slot.key = key;
    slot.value = value;
    return value;
}

}  // namespace

LocalFacts gatherLocalFacts() {
    LocalFacts facts;
    std::string identity;
    if (net::currentUserIdentity(&identity)) {
        facts.user = remembered(userCache, identity, net::localUserName);
    } else {
        facts.user = net::localUserName();
    }
    facts.host = net::localHostName();
    if (!facts.host.empty()) {
        facts.ip = remembered(addressCache, facts.host, [&facts] {
            std::uint32_t address = 0;
            return net::resolveIPv4(facts.host, &address) ? net::dottedIPv4(address)
                                                          : std::string();
        });
    }
    return facts;
}

}  // namespace zelvonet
