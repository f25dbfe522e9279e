#include "metrics.h"

#include <charconv>
#include <cmath>

namespace zelvoqueue {

namespace {

constexpr State kOutcomes[] = {State::Accepted, State::Refused, State::Unknown, State::Failed,
                               State::Queued};

// The shortest text that reads back as `v`.
std::string number(double v) {
    if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

void family(std::string& out, const std::string& name, const char* type, const char* help) {
    out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const std::string& name, const std::string& labels, double v) {
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += " " + number(v) + "\n";
}

std::string label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + value + "\"";
}

}  // namespace

std::string queueMetrics(const Health& h) {
    std::string out;
    family(out, "zelvo_queue_messages", "gauge", "Messages in the queue by state.");
    for (State s : kAllStates) {
        const auto n = h.counts.find(s);
        sample(out, "zelvo_queue_messages", label("state", stateName(s)),
               static_cast<double>(n == h.counts.end() ? 0 : n->second));
    }
    family(out, "zelvo_queue_due_messages", "gauge",
           "Queued messages that are due now (a rate limit may still hold them).");
    sample(out, "zelvo_queue_due_messages", "", static_cast<double>(h.due));
    family(out, "zelvo_queue_oldest_due_age_seconds", "gauge",
           "How long the oldest due message has been waiting since it became due; 0 when none is "
           "due.");
    sample(out, "zelvo_queue_oldest_due_age_seconds", "",
           h.due > 0 ? std::max(0.0, h.now - h.oldestDue) : 0);
    std::vector<std::pair<std::string, long long>> attempts;
    for (State s : kOutcomes) {
        const auto n = h.attempts.find(stateName(s));
        attempts.emplace_back(stateName(s), n == h.attempts.end() ? 0 : n->second);
    }
    out +=
        counterFamily("zelvo_queue_attempts_total",
                      "Ended attempts to send, by outcome, of all runners.", "outcome", attempts);
    family(out, "zelvo_queue_last_accepted_timestamp_seconds", "gauge",
           "When the gateway last accepted a message (Unix time); 0 when it never did.");
    sample(out, "zelvo_queue_last_accepted_timestamp_seconds", "", h.lastAccepted);
    family(out, "zelvo_queue_runner_heartbeat_timestamp_seconds", "gauge",
           "The newest sign of life of any runner (Unix time); 0 when none ran.");
    sample(out, "zelvo_queue_runner_heartbeat_timestamp_seconds", "", h.lastBeat);
    return out;
}

void Histogram::observe(double seconds) {
    ++count_;
    sum_ += seconds;
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
        if (seconds <= bounds_[i]) {
            ++below_[i];
            break;
        }
    }
}

std::string Histogram::text(const std::string& name, const char* help) const {
    std::string out;
    family(out, name, "histogram", help);
    long long below = 0;
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
        below += below_[i];
        sample(out, name + "_bucket", label("le", number(bounds_[i])), static_cast<double>(below));
    }
    sample(out, name + "_bucket", label("le", "+Inf"), static_cast<double>(count_));
    sample(out, name + "_sum", "", sum_);
    sample(out, name + "_count", "", static_cast<double>(count_));
    return out;
}

std::string counterFamily(const std::string& name, const char* help, const char* labelName,
                          const std::vector<std::pair<std::string, long long>>& samples) {
    std::string out;
    family(out, name, "counter", help);
    for (const auto& [value, n] : samples) {
        sample(out, name, label(labelName, value), static_cast<double>(n));
    }
    return out;
}

void RunnerMetrics::attempt(State outcome, double seconds) {
    std::lock_guard<std::mutex> hold(mu_);
    ++outcomes_[outcome];
    sends_.observe(seconds);
}

std::string RunnerMetrics::text() const {
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<std::pair<std::string, long long>> outcomes;
    for (State s : kOutcomes) {
        const auto n = outcomes_.find(s);
        outcomes.emplace_back(stateName(s), n == outcomes_.end() ? 0 : n->second);
    }
    return counterFamily("zelvo_queue_runner_attempts_total",
                         "Attempts to send that this runner process ended, by outcome.", "outcome",
                         outcomes) +
           sends_.text("zelvo_queue_send_duration_seconds",
                       "How long this runner process's sends took, in seconds.");
}

}  // namespace zelvoqueue
