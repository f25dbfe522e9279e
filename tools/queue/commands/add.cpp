#include "add.h"

#include <chrono>
#include <cmath>
#include <iostream>
#include <random>
#include <thread>

#include "config.h"
#include "prepare.h"
#include "store.h"
#include "submission.h"
#include "turns.h"

namespace zelvoqueue {

namespace {

using Clock = std::chrono::steady_clock;

int fail(int code, const std::string& what) {
    std::cerr << "zelvo-queue: " << what << "\n";
    return code;
}

double secondsLeft(Clock::time_point deadline) {
    return std::chrono::duration<double>(deadline - Clock::now()).count();
}

// How many adds of one host talk to one PostgreSQL database at once.
constexpr long kHostSlots = 8;

// On PostgreSQL the adds of this host take turns, at most kHostSlots at a
// time, through one lock file per database in /tmp: a storm of adds that
// all connect at once fills the server's connections, and every refused
// connection costs it a process of its own, which slows the adds that got
// in. An add that finds no slot free within its time (less two seconds for
// the add itself) goes ahead without one, as do adds that cannot open the
// file; adds of other hosts wait by trying again. The slot is held until
// the process ends.
void takeHostSlot(const std::string& database, const std::string& token,
                  Clock::time_point deadline) {
    if (!isPostgresUri(database)) return;
    unsigned long long h = 1469598103934665603ULL;  // FNV-1a: the same name in every build
    for (char c : database) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    char name[64];
    std::snprintf(name, sizeof name, "/tmp/zelvo-queue-%016llx.lock", h);
    static const int fd = openLockFile(name, "", 0666);
    if (fd < 0) return;
    const long first = static_cast<long>(std::hash<std::string>{}(token) % kHostSlots);
    for (long i = 0; i < kHostSlots; ++i) {
        if (lockWithin(fd, 0, (first + i) % kHostSlots)) return;
    }
    lockWithin(fd, secondsLeft(deadline) - 2, first);
}

}  // namespace

int addMessage(const std::string& database, const std::string& configOption, const AddArgs& a) {
    std::string text;
    if (!zelvosend::messageText(a.words, std::cin, &text)) {
        return fail(64, "cannot read the message from standard input");
    }
    Submission sub;
    sub.to = a.to;
    sub.text = text;
    sub.time = a.time;
    sub.account = a.account;
    sub.test = a.test;
    sub.truncate = a.truncate;
    sub.replace = a.replace;
    sub.ttl = a.ttl;
    sub.dedupKey = a.dedupKey;
    sub.dedupWindow = static_cast<double>(a.dedupWindow);
    // The configuration, where it can be read: a named account must be in
    // it, and it holds the key's default window. The key itself is not
    // needed to add.
    Config config;
    std::string why;
    const bool loaded = (!a.account.empty() || (!a.dedupKey.empty() && a.dedupWindow == 0)) &&
                        loadConfig(configPath(configOption), &config, &why);
    const Checked checked = checkSubmission(sub, loaded ? &config : nullptr, true);
    if (!checked.field.empty()) return fail(64, checked.error);
    const NewMessage& m = checked.message;

    // Each try waits for the database as long as the time limit allows; a
    // database that is busy in another way (a server without free
    // connections, starting or stopping, a connection lost) is tried again
    // after a pause that grows and varies, so that a storm of adds does not
    // come back all at once.
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(a.waitSeconds * 1000));
    std::minstd_rand jitter(static_cast<unsigned>(std::hash<std::string>{}(m.token)));
    takeHostSlot(database, m.token, deadline);
    std::unique_ptr<Store> store;
    bool open = false;  // a commit may have been under way when the connection went
    for (int tries = 0;; ++tries) {
        try {
            const double patience = std::max(0.0, secondsLeft(deadline));
            if (!store) {
                store = openStore(database, patience);
            } else {
                store->setPatience(patience);
            }
            const Added r = store->add({m}).front();
            if (r.duplicate && r.differs) {
                std::cerr << "zelvo-queue: the key \"" << m.dedupKey << "\" belongs to message "
                          << r.id << ", whose fields differ from this one's; nothing was stored\n";
            }
            std::cout << r.id << std::endl;
            return std::cout ? 0 : 2;
        } catch (const StoreError& e) {
            if (store && e.trouble() == Trouble::Lost) open = true;
            const bool wait = e.trouble() == Trouble::Busy || e.trouble() == Trouble::Lost;
            const double left = secondsLeft(deadline);
            if (!wait || left <= 0) {
                if (open) {
                    return fail(2, std::string(e.what()) +
                                       "; the connection was lost while the message was being "
                                       "stored, and whether it was could not be learned");
                }
                return fail(2, std::string(e.what()) + "; the message was not queued");
            }
            const double pause = std::min(1.0, 0.02 * std::ldexp(1.0, std::min(tries, 6))) *
                                 std::uniform_real_distribution<double>(0.5, 1.5)(jitter);
            std::this_thread::sleep_for(
                std::chrono::duration<double>(std::min(pause, std::max(0.0, left))));
        }
    }
}

}  // namespace zelvoqueue
