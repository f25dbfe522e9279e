#include "runner.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "charset.h"
#include "group_commit.h"
#include "metrics.h"
#include "prepare.h"
#include "send_core.h"

namespace zelvoqueue {

namespace {

using Clock = std::chrono::steady_clock;

// What the workers of one runner share: the log and the gateway's hold.
class Shared {
  public:
    Shared(std::FILE* log) : log_(log) {}

    void line(const std::string& text) {
        std::lock_guard<std::mutex> hold(mu_);
        writeLine(text);
    }

    // The gateway could not be reached: hold all sends for a while.
    void gatewayFailed() {
        std::lock_guard<std::mutex> hold(mu_);
        ++failures_;
        const auto until =
            Clock::now() +
            std::chrono::milliseconds(static_cast<long long>(backoffSeconds(failures_) * 1000));
        holdUntil_ = std::max(holdUntil_, until);
        unreachable_ = true;
    }
    void gatewayReached() {
        std::lock_guard<std::mutex> hold(mu_);
        failures_ = 0;
        holdUntil_ = Clock::time_point{};
    }
    Clock::time_point holdUntil() {
        std::lock_guard<std::mutex> hold(mu_);
        return holdUntil_;
    }
    bool everUnreachable() {
        std::lock_guard<std::mutex> hold(mu_);
        return unreachable_;
    }

    // The database failed in a way that waiting may mend: one line when
    // the runner starts waiting, one when it goes on.
    void troubled(const std::string& why) {
        std::lock_guard<std::mutex> hold(mu_);
        if (waiting_) return;
        waiting_ = true;
        // One line: the server's texts come in several.
        std::string text;
        for (char c : why) {
            if (c == '\n' || c == '\t') {
                if (!text.empty() && text.back() != ' ') text += ' ';
            } else {
                text += c;
            }
        }
        writeLine("zelvo-queue: waiting for the database: " + text +
                  "; no new message is claimed, the answers in hand are kept");
    }
    void answered() {
        std::lock_guard<std::mutex> hold(mu_);
        if (!waiting_) return;
        waiting_ = false;
        writeLine("zelvo-queue: the database answers again; going on");
    }

    // The messages this runner's workers hold: in flight, or sent with an
    // answer not yet recorded. Another claim never takes them for a dead
    // runner's.
    void hold(long long id) {
        std::lock_guard<std::mutex> hold(mu_);
        held_.push_back(id);
    }
    void release(long long id) {
        std::lock_guard<std::mutex> hold(mu_);
        held_.erase(std::remove(held_.begin(), held_.end(), id), held_.end());
    }
    std::vector<long long> held() {
        std::lock_guard<std::mutex> hold(mu_);
        return held_;
    }

    // Group commit: a worker's claim goes into the next transaction of the
    // runner, with those of the other workers waiting at that moment.
    Claim claim(Store& store, const std::string& runner, const ClaimRules& rules,
                const Finish* done, bool want) {
        return claims_.run(ClaimRequest{done, want}, [&](const std::vector<ClaimRequest>& r) {
            return store.claimAll(runner, rules, r, held());
        });
    }

  private:
    void writeLine(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), log_);
        std::fputc('\n', log_);
        std::fflush(log_);
    }

    std::mutex mu_;
    std::FILE* log_;
    bool waiting_ = false;
    std::vector<long long> held_;
    GroupCommit<ClaimRequest, Claim> claims_;
    int failures_ = 0;
    Clock::time_point holdUntil_{};
    bool unreachable_ = false;
};

std::string utf8(const std::string& cp1252) {
    return zelvotools::cp1252ToUtf8(cp1252);
}

std::string who(const Message& m) {
    return "message " + std::to_string(m.id) + " to " + m.receiver;
}

// Sleeps up to `seconds`, waking early when `stop` is set.
void nap(double seconds, const std::atomic<bool>& stop) {
    const auto end = Clock::now() + std::chrono::milliseconds(
                                        static_cast<long long>(std::max(0.0, seconds) * 1000));
    while (!stop && Clock::now() < end) {
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds(50), end - Clock::now()));
    }
}

class Worker {
  public:
    Worker(Store& store, const Config& config, const RunOptions& options, const std::string& name,
           const std::atomic<bool>& stop, Shared& shared)
        : store_(store),
          config_(config),
          options_(options),
          name_(name),
          stop_(stop),
          shared_(shared) {
        rules_.perSecond = config.perSecond;
        rules_.perRecipientPerMinute = config.perRecipientPerMinute;
        rules_.ttl = config.ttl;
        rules_.leaseSeconds = config.leaseSeconds();
    }

    void run() {
        std::optional<Finish> done;
        while (true) {
            bool want = !stop_;
            if (want && options_.once && shared_.everUnreachable()) want = false;
            const auto hold = shared_.holdUntil();
            if (want && Clock::now() < hold) {
                if (done) {
                    if (!claim(&done, false)) return;
                    continue;
                }
                // A claim of nothing now and then: the runner's sign of
                // life while it holds off a gateway it cannot reach.
                nap(std::min(kHeartbeatSeconds,
                             std::chrono::duration<double>(hold - Clock::now()).count()),
                    stop_);
                if (!stop_ && Clock::now() < shared_.holdUntil() && !claim(&done, false)) return;
                continue;
            }
            const std::optional<Claim> c = claim(&done, want);
            if (!c) return;
            if (!c->message) {
                if (!want) return;
                if (options_.once && !c->limited) return;
                nap(c->waitSeconds < 0 ? 0.2 : std::min(c->waitSeconds, 0.2), stop_);
                continue;
            }
            shared_.hold(c->message->id);
            bool unreachable = false;
            done = send(*c->message, c->attempt, &unreachable);
            if (unreachable) {
                // Recorded first, so that the message is due again when the
                // hold ends and goes first.
                if (!claim(&done, false)) return;
                shared_.gatewayFailed();
            }
        }
    }

  private:
    // One claim, which records the finished attempt `done` first. A
    // database that waiting may mend is waited for, as long as it takes;
    // the answer in hand is kept meanwhile and nothing new is claimed until
    // it is recorded. Asked to stop while waiting, it tries a little
    // longer, then names the answer it could not record (that message
    // becomes unknown at the next start) and gives up: nullopt.
    std::optional<Claim> claim(std::optional<Finish>* done, bool want) {
        std::optional<Clock::time_point> givingUp;
        const bool wanted = want;
        for (;;) {
            try {
                Claim c = shared_.claim(store_, name_, rules_, *done ? &**done : nullptr, want);
                shared_.answered();
                if (*done) {
                    if (!c.finishApplied) {
                        shared_.line("message " + std::to_string((*done)->id) +
                                     ": its outcome was recorded with the attempt; the message "
                                     "had been changed meanwhile");
                    }
                    shared_.release((*done)->id);
                }
                done->reset();
                for (const Message& m : c.expired) {
                    shared_.line(who(m) + ": expired: not sent within its TTL");
                }
                for (const Message& m : c.orphaned) {
                    shared_.line(who(m) + ": unknown: its runner " + m.runner +
                                 " stopped during the send; the gateway may have taken it");
                }
                if (want != wanted) {  // the answer in hand is recorded: now the claim
                    want = wanted;
                    continue;
                }
                return c;
            } catch (const StoreError& e) {
                if (!e.transient()) throw;
                shared_.troubled(e.what());
                if (*done) want = false;
                if (stop_ && !givingUp) givingUp = Clock::now() + std::chrono::seconds(10);
                if (givingUp && Clock::now() >= *givingUp) {
                    if (*done) {
                        const Finish& f = **done;
                        shared_.line(
                            "message " + std::to_string(f.id) + ": its answer (" +
                            stateName(f.state) + ": " +
                            zelvotools::printable(f.answer.empty() ? f.error : f.answer, "\\n") +
                            ") could not be recorded; it becomes unknown at the next "
                            "start");
                    }
                    return std::nullopt;
                }
                static const std::atomic<bool> never{false};
                nap(0.5, givingUp ? never : stop_);
            }
        }
    }

    Finish send(const Message& m, int attempt, bool* unreachable) {
        const auto started = Clock::now();
        Finish f = attemptSend(m, attempt, unreachable);
        if (options_.metrics) {
            options_.metrics->attempt(
                f.state, std::chrono::duration<double>(Clock::now() - started).count());
        }
        return f;
    }

    Finish attemptSend(const Message& m, int attempt, bool* unreachable) {
        Finish f;
        f.id = m.id;
        f.attempt = attempt;
        const auto account = config_.accounts.find(m.account);
        if (account == config_.accounts.end()) {
            f.state = State::Failed;
            f.error = "no account \"" + m.account + "\" in the configuration";
            if (m.account.empty()) f.error = "no [account] section in the configuration";
            shared_.line(who(m) + ": failed: " + f.error);
            return f;
        }
        const Account& a = account->second;
        const std::string receiver = receiverForWire(m.receiver);
        zelvonet::Message msg;
        msg.kdnr = a.kdnr.c_str();
        msg.firma = a.firma;
        msg.user = a.user.c_str();
        msg.key = a.key.c_str();
        msg.msg = m.body.c_str();
        msg.receiver = receiver.c_str();
        msg.time = m.time.empty() ? nullptr : m.time.c_str();
        msg.proxyHost = config_.proxyHost.empty() ? nullptr : config_.proxyHost.c_str();
        msg.proxyPort = config_.proxyPort;
        msg.test = m.test;

        std::vector<char> answer(64 * 1024, '\0');
        const zelvonet::SendResult r =
            zelvonet::send(msg, config_.gateway, config_.timeouts(), answer.data(),
                           static_cast<int>(answer.size()));
        const std::string text = utf8(answer.data());
        std::string line = who(m) + ": ";
        switch (r.outcome) {
            case zelvonet::Outcome::Accepted:
            case zelvonet::Outcome::Refused:
                shared_.gatewayReached();
                f.state =
                    r.outcome == zelvonet::Outcome::Accepted ? State::Accepted : State::Refused;
                f.answer = text;
                line += std::string(stateName(f.state)) + ": " + text;
                break;
            case zelvonet::Outcome::Failed: {
                *unreachable = true;
                f.error = text;
                const int failures = m.failures + 1;
                if (failures >= config_.maxAttempts) {
                    f.state = State::Failed;
                    line += "failed: " + text + " (" + std::to_string(failures) +
                            " attempts, nothing was sent)";
                } else {
                    f.state = State::Queued;
                    f.retryAfter = backoffSeconds(failures);
                    char next[96];
                    std::snprintf(next, sizeof next, " (attempt %d of %d, again in %g s)", failures,
                                  config_.maxAttempts, f.retryAfter);
                    line += "queued: " + text + next;
                }
                break;
            }
            case zelvonet::Outcome::Unknown:
                shared_.gatewayReached();
                f.state = State::Unknown;
                f.error = text;
                line += "unknown: " + text + " (the gateway may have taken it; not sent again)";
                break;
        }
        shared_.line(zelvotools::printable(line, "\\n"));
        return f;
    }

    Store& store_;
    const Config& config_;
    const RunOptions& options_;
    const std::string& name_;
    const std::atomic<bool>& stop_;
    Shared& shared_;
    ClaimRules rules_;
};

}  // namespace

std::string runnerName() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return std::string(host) + ":" + std::to_string(::getpid());
}

double backoffSeconds(int n) {
    return std::min(300.0, std::ldexp(1.0, std::clamp(n, 1, 30) - 1));
}

namespace {

// Calls `f` until it succeeds, waiting out what waiting may mend (one line
// when the wait begins, one when it ends); false when `stop` came first.
template <typename F>
bool patiently(Shared& shared, const std::atomic<bool>& stop, F f) {
    for (;;) {
        try {
            f();
            shared.answered();
            return true;
        } catch (const StoreError& e) {
            if (!e.transient()) throw;
            shared.troubled(e.what());
            nap(1, stop);
            if (stop) return false;
        }
    }
}

}  // namespace

std::unique_ptr<Store> openPatiently(const std::string& where, const std::atomic<bool>& stop,
                                     std::FILE* log) {
    Shared shared(log);
    std::unique_ptr<Store> store;
    patiently(shared, stop, [&] { store = openStore(where, kRunnerPatience); });
    return store;
}

void runQueue(Store& store, const Config& config, const RunOptions& options,
              const std::atomic<bool>& stop, std::FILE* log) {
    Shared shared(log);
    const std::string name = runnerName();
    ClaimRules rules;
    rules.leaseSeconds = config.leaseSeconds();
    store.setPatience(kRunnerPatience);
    std::vector<Message> orphans;
    if (!patiently(shared, stop, [&] { orphans = store.startRunner(name, rules); })) return;
    for (const Message& m : orphans) {
        shared.line(who(m) +
                    ": unknown: the runner stopped during the send; the gateway may "
                    "have taken it");
    }
    shared.line("zelvo-queue: runner " + name + " on " + store.where() + ", gateway " +
                config.gateway.host + ":" + std::to_string(config.gateway.port) +
                (config.proxyHost.empty()
                     ? ""
                     : " through " + config.proxyHost + ":" + std::to_string(config.proxyPort)) +
                ", " + std::to_string(options.workers) + " worker(s)");

    std::vector<std::thread> threads;
    std::mutex errorMu;
    std::string error;
    std::atomic<bool> failed{false};
    // A worker whose database failed stops the others.
    std::atomic<bool> stopAll{false};
    for (int i = 0; i < options.workers; ++i) {
        threads.emplace_back([&] {
            try {
                Worker w(store, config, options, name, stopAll, shared);
                w.run();
            } catch (const StoreError& e) {
                std::lock_guard<std::mutex> hold(errorMu);
                if (error.empty()) error = e.what();
                failed = true;
                stopAll = true;
            }
        });
    }
    std::thread watch([&] {
        while (!stopAll) {
            if (stop) stopAll = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    for (auto& t : threads) t.join();
    stopAll = true;
    watch.join();
    if (failed) throw StoreError(error);
}

std::string isoTime(double unixSeconds) {
    const auto t = static_cast<std::time_t>(std::floor(unixSeconds));
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string receiverForWire(const std::string& receiver) {
    return zelvosend::prepareReceiver(receiver).value;
}

}  // namespace zelvoqueue
