// The runner: workers that take due messages from the store, send each
// through the send core and record what became of it.
//
//   queued -> sending          committed before the request leaves
//   accepted, refused          the gateway's verdict
//   queued again (backoff)     nothing left the machine: 1 s, 2 s, 4 s ... 5 min,
//   failed                       until max-attempts
//   unknown                    the gateway may have taken it: never sent again
//                              unless a person says so (retry)
//   expired                    older than its TTL: never sent
//
// A local failure means the gateway cannot be reached: the runner then
// holds every send for the same backoff, so that the messages go out in
// their order once it is back.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "config.h"
#include "store.h"

namespace zelvoqueue {

class RunnerMetrics;

struct RunOptions {
    bool once = false;  // stop when no message is due (or the gateway cannot be reached)
    int workers = 1;
    RunnerMetrics* metrics = nullptr;  // counts each attempt, when given
};

// The runner's name in the store: host name and process id.
std::string runnerName();

// Seconds to wait after the n-th local failure in a row (n >= 1).
double backoffSeconds(int n);

// How long one of the runner's calls waits for a busy database before it
// says that it waits (and goes on waiting).
constexpr double kRunnerPatience = 5;

// The store, waiting as long as it takes for a database that is busy,
// full, starting or away (one line to `log` when the wait begins, one when
// it ends); null when `stop` came first. Throws StoreError when waiting
// cannot help (a foreign or damaged file, a newer schema, no permission).
std::unique_ptr<Store> openPatiently(const std::string& where, const std::atomic<bool>& stop,
                                     std::FILE* log);

// Runs until `stop` is set (finishing the sends in flight) or, with
// `once`, until nothing is due. One line per attempt goes to `log`. A
// database that is busy, full or away is waited for, with the answers in
// hand kept until they can be recorded. Throws StoreError when the
// database fails for good.
void runQueue(Store& store, const Config& config, const RunOptions& options,
              const std::atomic<bool>& stop, std::FILE* log);

// UTC, "2026-01-31T12:00:00Z".
std::string isoTime(double unixSeconds);

// The stored recipient ("+491711234567") as the gateway wants it ("%2b...").
std::string receiverForWire(const std::string& receiver);

}  // namespace zelvoqueue
