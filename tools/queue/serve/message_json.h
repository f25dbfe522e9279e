// Messages as JSON, the same for `list --json`, `stats --json` and the
// HTTP interface.
#pragma once

#include <map>
#include <nlohmann/json.hpp>

#include "store.h"

namespace zelvoqueue {

// id, state, recipient, created, attempts (a count), runner, dedup_key.
nlohmann::json messageSummary(const Message& m);

// The summary and what `show` adds: text, account, test, time, ttl, the
// next attempt, the lease, the attempts one by one and the history.
nlohmann::json messageDetail(const Message& m);

// State name to count, in the states' order.
nlohmann::ordered_json statsJson(const std::map<State, long long>& counts);

// Compact, with invalid UTF-8 replaced.
std::string dumpJson(const nlohmann::json& j);
std::string dumpJson(const nlohmann::ordered_json& j);

}  // namespace zelvoqueue
