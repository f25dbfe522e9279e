#include "check.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace zelvoqueue {

namespace {

constexpr std::size_t kLineMax = 79;  // the status text, before the "|"
constexpr const char* kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct Range {
    double low = 0;
    double high = std::numeric_limits<double>::infinity();
    bool inside = false;  // "@": alert inside, not outside
    bool set = false;

    bool alerts(double v) const {
        if (!set) return false;
        const bool in = v >= low && v <= high;
        return inside ? in : !in;
    }
};

bool readNumber(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    *out = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*out);
}

bool parse(const std::string& text, Range* r, std::string* why) {
    *r = Range{};
    if (text.empty()) return true;
    std::string t = text;
    r->set = true;
    if (t[0] == '@') {
        r->inside = true;
        t.erase(0, 1);
    }
    const auto colon = t.find(':');
    bool ok = true;
    if (colon == std::string::npos) {
        ok = readNumber(t, &r->high);
    } else {
        const std::string low = t.substr(0, colon), high = t.substr(colon + 1);
        if (low == "~") {
            r->low = -std::numeric_limits<double>::infinity();
        } else {
            ok = readNumber(low, &r->low);
        }
        if (!high.empty()) ok = ok && readNumber(high, &r->high);
    }
    if (ok && r->low > r->high) ok = false;
    if (!ok) *why = "\"" + text + "\" is not a range (10, 10:, ~:10, 10:20, @10:20)";
    return ok;
}

Range range(const std::string& text) {
    Range r;
    std::string why;
    parse(text, &r, &why);
    return r;
}

std::string secs(double s) {
    return std::to_string(static_cast<long long>(std::floor(std::max(0.0, s)))) + " s";
}

// One figure's level: 2 critical, 1 warning, 0 fine.
int level(double v, const std::string& warning, const std::string& critical) {
    return range(critical).alerts(v) ? 2 : range(warning).alerts(v) ? 1 : 0;
}

std::string perf(const std::string& label, double v, const char* unit, const std::string& warn,
                 const std::string& crit) {
    return "'" + label + "'=" + std::to_string(static_cast<long long>(std::floor(v))) + unit + ";" +
           warn + ";" + crit + ";0";
}

}  // namespace

bool validRange(const std::string& text, std::string* why) {
    Range r;
    return parse(text, &r, why);
}

Verdict judge(const Health& h, const CheckOptions& o) {
    const double age = h.due > 0 ? std::max(0.0, h.now - h.oldestDue) : 0;
    const long long unknown = h.counts.count(State::Unknown) ? h.counts.at(State::Unknown) : 0;
    const long long failed = h.counts.count(State::Failed) ? h.counts.at(State::Failed) : 0;
    const double quiet = h.lastBeat > 0 ? h.now - h.lastBeat : -1;

    // Each figure as a phrase with its level; the worst are named first.
    std::vector<std::pair<int, std::string>> facts;
    const std::string runnerRange =
        o.runnerCritical > 0 ? std::to_string(static_cast<long long>(o.runnerCritical)) : "";
    const bool runnerGone =
        o.runnerCritical > 0 && h.due > 0 && (quiet < 0 || quiet > o.runnerCritical);
    if (runnerGone) {
        facts.emplace_back(2, quiet < 0 ? "no runner ever seen" : "no runner for " + secs(quiet));
    }
    facts.emplace_back(level(age, o.ageWarning, o.ageCritical),
                       h.due > 0 ? std::to_string(h.due) + " due, oldest " + secs(age)
                                 : std::string("nothing due"));
    facts.emplace_back(level(static_cast<double>(unknown), o.unknownWarning, o.unknownCritical),
                       std::to_string(unknown) + " unknown");
    facts.emplace_back(level(static_cast<double>(failed), o.failedWarning, o.failedCritical),
                       std::to_string(failed) + " failed");
    if (!runnerGone && quiet >= 0) facts.emplace_back(0, "runner seen " + secs(quiet) + " ago");

    Verdict v;
    int worst = 0;
    for (const auto& f : facts) worst = std::max(worst, f.first);
    v.status = static_cast<PluginStatus>(worst);
    std::string line = std::string("QUEUE ") + kNames[worst] + " - ";
    bool first = true;
    for (int l = 2; l >= 0; --l) {
        for (const auto& f : facts) {
            if (f.first != l) continue;
            const std::string add = (first ? "" : ", ") + f.second;
            if (line.size() + add.size() > kLineMax) continue;
            line += add;
            first = false;
        }
    }
    line += " | " + perf("oldest_due", age, "s", o.ageWarning, o.ageCritical) + " " +
            perf("due", static_cast<double>(h.due), "", "", "") + " " +
            perf("unknown", static_cast<double>(unknown), "", o.unknownWarning, o.unknownCritical) +
            " " +
            perf("failed", static_cast<double>(failed), "", o.failedWarning, o.failedCritical);
    if (quiet >= 0) line += " " + perf("runner_quiet", quiet, "s", "", runnerRange);
    v.output = line + "\n";
    if (o.verbose) {
        std::string all;
        for (State s : kAllStates) {
            const auto n = h.counts.find(s);
            all += std::string(all.empty() ? "" : ", ") + stateName(s) + " " +
                   std::to_string(n == h.counts.end() ? 0 : n->second);
        }
        v.output += all + "\n";
    }
    return v;
}

Verdict unknownVerdict(const std::string& why) {
    Verdict v;
    v.status = kPluginUnknown;
    // "PATH: reason" or "URI: reason": the reason on the line, the whole
    // text on the next one.
    std::string reason = why;
    const auto colon = why.find(": ");
    if (colon != std::string::npos && why.find(' ') > colon &&
        why.substr(0, colon).find('/') != std::string::npos) {
        reason = why.substr(colon + 2);
    }
    std::string line = "QUEUE UNKNOWN - " + reason;
    for (char& c : line) {
        if (c == '\n' || c == '\t') c = ' ';
    }
    if (line.size() > kLineMax) line = line.substr(0, kLineMax - 3) + "...";
    v.output = line + "\n";
    if (reason != why || line.size() < 16 + reason.size()) v.output += why + "\n";
    return v;
}

}  // namespace zelvoqueue
