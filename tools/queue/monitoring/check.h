// The monitoring plugin's verdict on the queue: OK, WARNING, CRITICAL or
// UNKNOWN, one line of text under 80 characters, then performance data.
#pragma once

#include <string>

#include "store.h"

namespace zelvoqueue {

enum PluginStatus { kPluginOk = 0, kPluginWarning = 1, kPluginCritical = 2, kPluginUnknown = 3 };

// Thresholds as ranges: "10" is 0 to 10, "10:" 10 and up, "~:10" up to
// 10, "10:20"; a value outside alerts, "@" in front turns that around.
// Empty: never alerts.
struct CheckOptions {
    std::string ageWarning = "300";  // seconds the oldest due message waits
    std::string ageCritical = "900";
    std::string unknownWarning = "0";  // messages in `unknown`: a person decides
    std::string unknownCritical;
    std::string failedWarning = "0";  // messages in `failed`
    std::string failedCritical;
    double runnerCritical = 120;  // seconds without a runner's sign of life while
                                  // messages are due; 0: not checked
    bool verbose = false;         // a second line with every state's count
};

struct Verdict {
    PluginStatus status = kPluginUnknown;
    std::string output;  // the lines to print, each ending in "\n"
};

// Whether `range` is one (empty counts); false with the reason in `why`.
bool validRange(const std::string& range, std::string* why);

// The verdict on `h`; the ranges must be valid.
Verdict judge(const Health& h, const CheckOptions& o);

// The verdict when the queue cannot be read (`why`), or the check itself
// went wrong: UNKNOWN.
Verdict unknownVerdict(const std::string& why);

}  // namespace zelvoqueue
