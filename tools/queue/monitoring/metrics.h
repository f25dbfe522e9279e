// The queue's figures in the Prometheus text format, version 0.0.4. The
// queue-wide ones come from the database and read the same from every
// runner; a runner adds the counters and the histogram of its own sends.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <string>

#include "store.h"

namespace zelvoqueue {

// The media type of the text format.
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

// The figures of `h`: messages per state, the due ones and the oldest's
// age, attempts by outcome, the last acceptance and the newest heartbeat.
std::string queueMetrics(const Health& h);

// The attempts of one runner process, counted as they end. Thread-safe.
class RunnerMetrics {
  public:
    // Upper bounds of the histogram's buckets, in seconds.
    static constexpr std::array<double, 11> kBuckets = {0.05, 0.1, 0.25, 0.5, 1,  2.5,
                                                        5,    10,  30,   60,  120};

    // An attempt ended with `outcome` (accepted, refused, queued, failed
    // or unknown) after `seconds`.
    void attempt(State outcome, double seconds);
    std::string text() const;

  private:
    mutable std::mutex mu_;
    std::map<State, long long> outcomes_;
    std::array<long long, kBuckets.size()> buckets_{};  // not cumulative
    long long count_ = 0;
    double sum_ = 0;
};

}  // namespace zelvoqueue
