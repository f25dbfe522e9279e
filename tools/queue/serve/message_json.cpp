#include "message_json.h"

#include "charset.h"
#include "runner.h"

namespace zelvoqueue {

namespace {

nlohmann::json textOrNull(const std::string& s) {
    return s.empty() ? nlohmann::json() : nlohmann::json(s);
}

}  // namespace

nlohmann::json messageSummary(const Message& m) {
    return {{"id", m.id},
            {"state", stateName(m.state)},
            {"recipient", m.receiver},
            {"created", isoTime(m.created)},
            {"attempts", m.attempts},
            {"runner", textOrNull(m.runner)},
            {"dedup_key", textOrNull(m.dedupKey)}};
}

nlohmann::json messageDetail(const Message& m) {
    nlohmann::json j = messageSummary(m);
    j["text"] = zelvotools::latin1ToUtf8(m.body);
    j["account"] = m.account;
    j["test"] = m.test;
    j["time"] = textOrNull(m.time);
    j["ttl"] = m.ttl > 0 ? nlohmann::json(m.ttl) : nlohmann::json();
    j["next_attempt"] =
        m.state == State::Queued ? nlohmann::json(isoTime(m.due)) : nlohmann::json();
    j["held_until"] = m.runner.empty() ? nlohmann::json() : nlohmann::json(isoTime(m.leaseUntil));
    j["submitter"] = textOrNull(m.submitter);
    j["history"] = nlohmann::json::array();
    for (const Attempt& a : m.history) {
        j["history"].push_back(
            {{"number", a.number},
             {"runner", a.runner},
             {"started", isoTime(a.started)},
             {"ended", a.ended > 0 ? nlohmann::json(isoTime(a.ended)) : nlohmann::json()},
             {"outcome", textOrNull(a.outcome)},
             {"answer", textOrNull(a.answer)},
             {"error", textOrNull(a.error)}});
    }
    j["events"] = nlohmann::json::array();
    for (const Event& e : m.events)
        j["events"].push_back({{"at", isoTime(e.at)}, {"text", e.text}});
    return j;
}

nlohmann::ordered_json statsJson(const std::map<State, long long>& counts) {
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    for (State s : kAllStates) o[stateName(s)] = counts.count(s) ? counts.at(s) : 0;
    return o;
}

std::string dumpJson(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string dumpJson(const nlohmann::ordered_json& j) {
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace zelvoqueue
