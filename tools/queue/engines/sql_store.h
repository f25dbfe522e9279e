// What the two engines share: the queue's tables and statements, written
// once. An engine supplies connections to its database (`?` placeholders,
// values as text) and the few things that differ: how the schema is made
// and versioned, how rows are locked, and how a runner proves it is alone.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "store.h"

namespace zelvoqueue {

struct Blob {
    std::string bytes;
};
struct Null {};
using Param = std::variant<long long, double, std::string, Blob, Null>;
using Row = std::vector<std::string>;  // NULL reads as ""

// One connection. Every failure throws StoreError, with the trouble that
// caused it.
class Database {
  public:
    virtual ~Database() = default;
    virtual std::vector<Row> query(const std::string& sql,
                                   const std::vector<Param>& params = {}) = 0;
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    // The time all stored times are taken from, in seconds since 1970.
    virtual double now() = 0;
    // The connection is lost: it is not used again.
    virtual bool broken() const = 0;
    // How long a statement may wait for other writers.
    virtual void setPatience(double) {}
};

class SqlStore : public Store {
  public:
    void init() override;
    void setPatience(double seconds) override;
    std::vector<Added> add(const std::vector<NewMessage>& messages) override;
    std::vector<Message> startRunner(const std::string& runner, const ClaimRules& rules) override;
    std::vector<Claim> claimAll(const std::string& runner, const ClaimRules& rules,
                                const std::vector<ClaimRequest>& requests,
                                const std::vector<long long>& held) override;
    std::vector<Message> list(std::optional<State> only) override;
    std::vector<Message> page(std::optional<State> only, long long after, int limit,
                              const std::string& submitter) override;
    std::optional<Message> get(long long id) override;
    std::map<State, long long> stats() override;
    Health health() override;
    std::map<std::string, long long> holders() override;
    Change retry(long long id, const std::string& who) override;
    Change drop(long long id, const std::string& who) override;
    std::string where() const override { return where_; }

  protected:
    SqlStore(std::string where, std::size_t maxConnections)
        : where_(std::move(where)), maxConnections_(maxConnections) {}

    virtual std::unique_ptr<Database> connect() = 0;
    // Creates or upgrades the schema in `db` (refusing a newer one).
    virtual void ensureSchema(Database& db) = 0;
    // Appended to a SELECT whose rows the transaction changes.
    virtual const char* skipLocked() const { return ""; }
    // Serializes the claims that count against the rate limits.
    virtual void lockLimits(Database&) {}
    // Called once when a runner starts; returns the condition under which
    // a message in `sending` belongs to a runner that is gone.
    virtual std::string becomeRunner() = 0;

    // Closes the idle connections (before the engine's own state goes).
    void closeAll();

    // The statements that bring a schema of version `to - 1` to `to`,
    // written so that both engines take them.
    static const char* upgradeTo(int to);

    const std::string where_;

  private:
    class Lease;  // a connection from the pool
    std::unique_ptr<Database> acquire();
    void release(std::unique_ptr<Database> db);

    std::vector<Message> markUnknown(Database& db, const std::string& condition,
                                     const std::vector<Param>& params, double t,
                                     const std::string& why);
    void event(Database& db, long long id, double t, const std::string& text);
    std::map<State, long long> counts(Database& db);
    // The runner's sign of life (at most every kHeartbeatSeconds).
    void beat(Database& db, const std::string& runner, double t);
    Added addOne(Database& db, const NewMessage& m, double t);
    bool record(Database& db, const Finish& f, double t);
    void take(Database& db, const std::string& runner, const ClaimRules& rules, double t, Claim* c);
    void nothingDue(Database& db, const ClaimRules& rules, double t, Claim* c);
    Change decide(long long id, const std::string& who, bool (*allowed)(State), const char* to,
                  const char* what);

    std::mutex mu_;
    std::condition_variable freed_;
    std::vector<std::unique_ptr<Database>> idle_;
    std::size_t open_ = 0;
    const std::size_t maxConnections_;
    bool schemaReady_ = false;
    double patience_ = 10;
    std::atomic<double> lastSweep_{0};
    std::atomic<double> lastBeat_{0};
};

}  // namespace zelvoqueue
