#include "intake.h"

#include <chrono>
#include <cmath>
#include <random>
#include <thread>

namespace zelvoqueue {

Intake::Result Intake::submit(const NewMessage& m) {
    return group_.run(
        &m, [this](const std::vector<const NewMessage*>& batch) { return commitAll(batch); });
}

std::vector<Intake::Result> Intake::commitAll(const std::vector<const NewMessage*>& messages) {
    using Clock = std::chrono::steady_clock;
    std::vector<NewMessage> batch;
    for (const NewMessage* m : messages) batch.push_back(*m);
    const auto start = Clock::now();
    std::minstd_rand jitter(static_cast<unsigned>(start.time_since_epoch().count()));
    bool lost = false;
    for (int tries = 0;; ++tries) {
        try {
            const std::vector<Added> added = store_.add(batch);
            ++commits_;
            std::vector<Result> out;
            for (const Added& a : added) {
                out.push_back({a.duplicate ? (a.differs ? Outcome::Conflict : Outcome::Duplicate)
                                           : Outcome::Stored,
                               a.id,
                               {}});
            }
            return out;
        } catch (const StoreError& e) {
            if (!e.transient()) {
                if (batch.size() == 1) return {{Outcome::Refused, 0, e.what()}};
                // One message may be the cause: each alone, so that only it fails.
                std::vector<Result> out;
                for (const NewMessage* m : messages) out.push_back(commitAll({m}).front());
                return out;
            }
            lost = lost || e.trouble() == Trouble::Lost;
            const double spent = std::chrono::duration<double>(Clock::now() - start).count();
            if (spent >= (lost ? settle_ : patience_)) {
                return std::vector<Result>(batch.size(),
                                           {lost ? Outcome::Open : Outcome::Busy, 0, e.what()});
            }
            const double pause = std::min(0.5, 0.02 * std::ldexp(1.0, std::min(tries, 5))) *
                                 std::uniform_real_distribution<double>(0.5, 1.5)(jitter);
            std::this_thread::sleep_for(std::chrono::duration<double>(pause));
        }
    }
}

}  // namespace zelvoqueue
