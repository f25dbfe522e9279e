// Messages handed in over HTTP, stored together: the submissions waiting
// at one moment go into one transaction and one forced write, each caller
// answered once that commit is done.
#pragma once

#include <atomic>
#include <string>

#include "group_commit.h"
#include "store.h"

namespace zelvoqueue {

class Intake {
  public:
    enum class Outcome {
        Stored,     // committed: `id` is new
        Duplicate,  // its key was taken by message `id`, whose fields are the same
        Conflict,   // its key was taken by message `id`, whose fields differ; nothing stored
        Busy,       // the database stayed busy or away: nothing was stored
        Open,       // the connection went during a commit and did not come back: it may
                    // have been stored
        Refused,    // the database refused this message for good (`why`); nothing stored
    };
    struct Result {
        Outcome outcome = Outcome::Busy;
        long long id = 0;
        std::string why;
    };

    // `store` must outlive the intake. A commit is tried again while the
    // database is busy or away, for `patience` seconds; after a lost
    // connection for up to `settle` seconds, until the messages' tokens
    // tell whether the commit took effect.
    explicit Intake(Store& store, double patience = 5, double settle = 25)
        : store_(store), patience_(patience), settle_(settle) {}

    // Thread-safe: blocks until `m` is committed with the others waiting.
    Result submit(const NewMessage& m);

    long long commits() const { return commits_; }

  private:
    std::vector<Result> commitAll(const std::vector<const NewMessage*>& messages);

    Store& store_;
    const double patience_, settle_;
    GroupCommit<const NewMessage*, Result> group_;
    std::atomic<long long> commits_{0};
};

}  // namespace zelvoqueue
