#include "alertmanager.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace zelvoqueue {

namespace {

using nlohmann::json;

[[noreturn]] void refuse(const std::string& path, const char* why) {
    throw std::invalid_argument(path + ": " + why);
}

// The member `name` of `object`, or null when absent.
const json* member(const json& object, const char* name) {
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

const json& needed(const json& object, const std::string& path, const char* name) {
    const json* v = member(object, name);
    if (v == nullptr) refuse(path + name, "missing");
    return *v;
}

// "firing" or "resolved"; true for firing.
bool readStatus(const json& object, const std::string& path) {
    const json& v = needed(object, path, "status");
    if (!v.is_string()) refuse(path + "status", "not a string");
    if (v == "firing") return true;
    if (v == "resolved") return false;
    refuse(path + "status", "neither firing nor resolved");
}

// Runs of white space and control characters as one space, none at either end.
std::string oneLine(const std::string& value) {
    std::string out;
    bool gap = false;
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F) {
            gap = !out.empty();
            continue;
        }
        if (gap) out += ' ';
        gap = false;
        out += c;
    }
    return out;
}

// The string member `name` of `object` as one line; empty when absent.
std::string optionalText(const json& object, const std::string& path, const char* name) {
    const json* v = member(object, name);
    if (v == nullptr) return {};
    if (!v->is_string()) refuse(path + name, "not a string");
    return oneLine(v->get_ref<const std::string&>());
}

struct Alert {
    bool firing = false;
    std::string line;      // name, instance, summary
    std::string identity;  // with the status, for the key base
};

Alert readAlert(const json& a, const std::string& path) {
    if (!a.is_object()) refuse(path, "not an object");
    const std::string prefix = path + ".";
    Alert out;
    out.firing = readStatus(a, prefix);
    const json& labels = needed(a, prefix, "labels");
    if (!labels.is_object()) refuse(prefix + "labels", "not an object");

    const std::string labelPath = prefix + "labels.";
    out.line = optionalText(labels, labelPath, "alertname");
    if (out.line.empty()) out.line = "alert";
    const std::string instance = optionalText(labels, labelPath, "instance");
    if (!instance.empty()) out.line += " " + instance;

    if (const json* annotations = member(a, "annotations")) {
        if (!annotations->is_object()) refuse(prefix + "annotations", "not an object");
        const std::string notePath = prefix + "annotations.";
        std::string summary = optionalText(*annotations, notePath, "summary");
        if (summary.empty()) summary = optionalText(*annotations, notePath, "description");
        if (!summary.empty()) out.line += ": " + summary;
    }

    // The fingerprint as a JSON string, else the labels as a JSON object
    // (its members sorted by name): the two can never be equal.
    const auto handler = json::error_handler_t::replace;
    json identity = labels;
    if (const json* fp = member(a, "fingerprint")) {
        if (!fp->is_string()) refuse(prefix + "fingerprint", "not a string");
        if (!fp->get_ref<const std::string&>().empty()) identity = *fp;
    }
    out.identity =
        json::array({identity, out.firing ? "firing" : "resolved"}).dump(-1, ' ', false, handler);
    return out;
}

// "[FIRING:2] a; b" for the alerts of `list` whose status is `firing`.
void appendSection(std::string* text, const std::vector<Alert>& list, bool firing) {
    std::string lines;
    std::size_t count = 0;
    for (const Alert& a : list) {
        if (a.firing != firing) continue;
        lines += (count++ == 0 ? "" : "; ") + a.line;
    }
    if (!text->empty()) *text += ' ';
    *text += std::string(firing ? "[FIRING:" : "[RESOLVED:") + std::to_string(count) + "]";
    if (count > 0) *text += " " + lines;
}

// FNV-1a with 128 bits, as two 64-bit halves: the prime is 2^88 + 0x13B.
struct Fnv128 {
    std::uint64_t hi = 0x6c62272e07bb0142ULL;
    std::uint64_t lo = 0x62b821756295c58dULL;

    void add(const std::string& bytes) {
        for (const char c : bytes) {
            lo ^= static_cast<unsigned char>(c);
            const std::uint64_t low = (lo & 0xFFFFFFFFULL) * 0x13B;
            const std::uint64_t high = (lo >> 32) * 0x13B;
            const std::uint64_t sum = low + (high << 32);
            const std::uint64_t carry = (high >> 32) + static_cast<std::uint64_t>(sum < low);
            hi = hi * 0x13B + carry + (lo << 24);
            lo = sum;
        }
    }

    std::string hex() const {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (const std::uint64_t half : {hi, lo}) {
            for (int shift = 60; shift >= 0; shift -= 4) out += digits[(half >> shift) & 0xF];
        }
        return out;
    }
};

}  // namespace

AlertNotification readAlertNotification(const json& payload) {
    if (!payload.is_object()) refuse("payload", "not an object");
    const json& groupKey = needed(payload, "", "groupKey");
    if (!groupKey.is_string()) refuse("groupKey", "not a string");
    const bool firing = readStatus(payload, "");
    const json& alerts = needed(payload, "", "alerts");
    if (!alerts.is_array()) refuse("alerts", "not an array");
    if (alerts.empty()) refuse("alerts", "empty");

    std::vector<Alert> list;
    std::vector<std::string> identities;
    for (std::size_t i = 0; i < alerts.size(); ++i) {
        list.push_back(readAlert(alerts[i], "alerts[" + std::to_string(i) + "]"));
        identities.push_back(list.back().identity);
    }
    std::sort(identities.begin(), identities.end());

    AlertNotification n;
    if (firing) {
        appendSection(&n.text, list, true);
        if (std::any_of(list.begin(), list.end(), [](const Alert& a) { return !a.firing; })) {
            appendSection(&n.text, list, false);
        }
    } else {
        for (Alert& a : list) a.firing = false;  // a resolved group lists all its alerts
        appendSection(&n.text, list, false);
    }
    n.keyBase = json::array({groupKey, firing ? "firing" : "resolved", identities})
                    .dump(-1, ' ', false, json::error_handler_t::replace);
    return n;
}

std::string alertKey(const AlertNotification& n, const std::string& recipient) {
    Fnv128 h;
    h.add(std::to_string(n.keyBase.size()) + ":" + n.keyBase);
    h.add(recipient);
    return "alertmanager:" + h.hex();
}

}  // namespace zelvoqueue
