// The queue's figures in the Prometheus text format, version 0.0.4. The
// queue-wide ones come from the database and read the same from every
// runner; a runner adds the counters and the histogram of its own sends.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "store.h"

namespace zelvoqueue {

// The media type of the text format.
constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

// The figures of `h`: messages per state, the due ones and the oldest's
// age, attempts by outcome, the last acceptance and the newest heartbeat.
std::string queueMetrics(const Health& h);

// How long something took, in buckets of seconds, for one family of the
// text format. Not thread-safe: its owner locks.
class Histogram {
  public:
    explicit Histogram(std::vector<double> bounds)
        : bounds_(std::move(bounds)), below_(bounds_.size()) {}
    void observe(double seconds);
    std::string text(const std::string& name, const char* help) const;
    long long count() const { return count_; }

  private:
    std::vector<double> bounds_;
    std::vector<long long> below_;  // per bucket, not cumulative
    long long count_ = 0;
    double sum_ = 0;
};

// A counter's family with a label, its samples in the order given.
std::string counterFamily(const std::string& name, const char* help, const char* label,
                          const std::vector<std::pair<std::string, long long>>& samples);

// The attempts of one runner process, counted as they end. Thread-safe.
class RunnerMetrics {
  public:
    // An attempt ended with `outcome` (accepted, refused, queued, failed
    // or unknown) after `seconds`.
    void attempt(State outcome, double seconds);
    std::string text() const;

  private:
    mutable std::mutex mu_;
    std::map<State, long long> outcomes_;
    Histogram sends_{{0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120}};
};

}  // namespace zelvoqueue
