#include "sql_store.h"

#include <algorithm>

namespace zelvoqueue {

namespace {

constexpr char kMessageColumns[] =
    "id, state, receiver, body, time_value, test, account, ttl, created, due, attempts, "
    "failures, coalesce(runner, ''), coalesce(lease_until, 0), answer, ttl_from, "
    "coalesce(dedup_key, ''), coalesce(submitter, '')";

constexpr char kDead[] = "the runner stopped during the send; the gateway may have taken it";

long long i64(const std::string& s) {
    return s.empty() ? 0 : std::stoll(s);
}
double f64(const std::string& s) {
    return s.empty() ? 0 : std::stod(s);
}

Message readMessage(const Row& r) {
    Message m;
    m.id = i64(r[0]);
    m.state = stateFromName(r[1]).value_or(State::Unknown);
    m.receiver = r[2];
    m.body = r[3];
    m.time = r[4];
    m.test = r[5] == "1" || r[5] == "t";
    m.account = r[6];
    m.ttl = i64(r[7]);
    m.created = f64(r[8]);
    m.due = f64(r[9]);
    m.attempts = static_cast<int>(i64(r[10]));
    m.failures = static_cast<int>(i64(r[11]));
    m.runner = r[12];
    m.leaseUntil = f64(r[13]);
    m.answer = r[14];
    m.dedupKey = r[16];
    m.submitter = r[17];
    return m;
}

std::string select(const std::string& rest) {
    return std::string("SELECT ") + kMessageColumns + " FROM zelvo_messages " + rest;
}

// A transaction, rolled back when left without commit().
class Tx {
  public:
    explicit Tx(Database& db) : db_(db) { db.begin(); }
    ~Tx() {
        if (!done_) db_.rollback();
    }
    Tx(const Tx&) = delete;
    Tx& operator=(const Tx&) = delete;
    void commit() {
        db_.commit();
        done_ = true;
    }

  private:
    Database& db_;
    bool done_ = false;
};

}  // namespace

// A connection taken from the pool for one call; the schema is made sure of
// on the first.
class SqlStore::Lease {
  public:
    explicit Lease(SqlStore& s) : s_(s), db_(s.acquire()) {
        if (!s.schemaReady_) {
            s.ensureSchema(*db_);
            s.schemaReady_ = true;
        }
    }
    ~Lease() { s_.release(std::move(db_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Database& operator*() { return *db_; }

  private:
    SqlStore& s_;
    std::unique_ptr<Database> db_;
};

std::unique_ptr<Database> SqlStore::acquire() {
    std::unique_lock<std::mutex> hold(mu_);
    freed_.wait(hold, [this] { return !idle_.empty() || open_ < maxConnections_; });
    if (!idle_.empty()) {
        auto db = std::move(idle_.back());
        idle_.pop_back();
        db->setPatience(patience_);
        return db;
    }
    ++open_;
    const double patience = patience_;
    hold.unlock();
    try {
        auto db = connect();
        db->setPatience(patience);
        return db;
    } catch (...) {
        hold.lock();
        --open_;
        freed_.notify_one();
        throw;
    }
}

void SqlStore::release(std::unique_ptr<Database> db) {
    std::lock_guard<std::mutex> hold(mu_);
    if (db && !db->broken()) {
        idle_.push_back(std::move(db));
    } else {
        --open_;
    }
    freed_.notify_one();
}

void SqlStore::closeAll() {
    std::lock_guard<std::mutex> hold(mu_);
    open_ -= idle_.size();
    idle_.clear();
}

void SqlStore::init() {
    Lease db(*this);
}

void SqlStore::setPatience(double seconds) {
    std::lock_guard<std::mutex> hold(mu_);
    patience_ = seconds;
}

const char* SqlStore::upgradeTo(int to) {
    switch (to) {
        case 2:
            // Each add's token, and the callers' keys: live ones in zelvo_keys
            // (one row a key, taken again once its window has passed), the
            // key a message was added with on the message itself.
            return "ALTER TABLE zelvo_messages ADD COLUMN add_token text;"
                   "ALTER TABLE zelvo_messages ADD COLUMN dedup_key text;"
                   "CREATE UNIQUE INDEX zelvo_messages_by_token ON zelvo_messages(add_token);"
                   "CREATE TABLE zelvo_keys (scope text NOT NULL, dedup_key text NOT NULL,"
                   "  message_id bigint NOT NULL, added double precision NOT NULL,"
                   "  fingerprint text NOT NULL, PRIMARY KEY (scope, dedup_key));";
        case 3:
            // The runners' heartbeats, and the due messages in the order
            // they became due (the oldest one's age is what is watched).
            return "CREATE TABLE zelvo_runners (runner text PRIMARY KEY,"
                   "  beat double precision NOT NULL);"
                   "CREATE INDEX zelvo_messages_by_due ON zelvo_messages(state, due);";
        case 4:
            // Who handed a message in over HTTP: a token may read only its own.
            return "ALTER TABLE zelvo_messages ADD COLUMN submitter text;";
        default:
            return nullptr;
    }
}

std::vector<Added> SqlStore::add(const std::vector<NewMessage>& messages) {
    Lease db(*this);
    Tx tx(*db);
    const double t = (*db).now();
    std::vector<Added> out;
    for (const NewMessage& m : messages) out.push_back(addOne(*db, m, t));
    tx.commit();
    return out;
}

Added SqlStore::addOne(Database& db, const NewMessage& m, double t) {
    const Param token = m.token.empty() ? Param(Null{}) : Param(m.token);
    const auto byToken = [&] {
        const auto rows = db.query("SELECT id FROM zelvo_messages WHERE add_token = ?", {token});
        return rows.empty() ? 0 : i64(rows[0][0]);
    };
    Added a;
    // An earlier try of this same add committed before its answer was lost.
    if (!m.token.empty() && (a.id = byToken()) != 0) return a;
    const std::string print = fingerprint(m);
    if (!m.dedupKey.empty()) {
        // Taken only when no live row holds the key: the unique key decides
        // between racing adds, not a read before the write.
        const auto taken = db.query(
            "INSERT INTO zelvo_keys (scope, dedup_key, message_id, added, fingerprint) "
            "VALUES (?, ?, 0, ?, ?) ON CONFLICT (scope, dedup_key) DO UPDATE SET "
            "message_id = 0, added = excluded.added, fingerprint = excluded.fingerprint "
            "WHERE zelvo_keys.added <= ? RETURNING scope",
            {m.dedupScope, m.dedupKey, t, print, t - m.dedupWindow});
        if (taken.empty()) {
            const auto held = db.query(
                "SELECT message_id, fingerprint FROM zelvo_keys WHERE scope = ? AND dedup_key = ?",
                {m.dedupScope, m.dedupKey});
            a.id = i64(held.at(0).at(0));
            a.duplicate = true;
            a.differs = held[0][1] != print;
            return a;
        }
    }
    const auto rows = db.query(
        "INSERT INTO zelvo_messages (state, receiver, body, time_value, test, account, ttl, "
        "created, ttl_from, due, add_token, dedup_key, submitter) "
        "VALUES ('queued', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
        "ON CONFLICT (add_token) DO NOTHING RETURNING id",
        {m.receiver, Blob{m.body}, m.time, static_cast<long long>(m.test), m.account, m.ttl, t, t,
         t, token, m.dedupKey.empty() ? Param(Null{}) : Param(m.dedupKey),
         m.submitter.empty() ? Param(Null{}) : Param(m.submitter)});
    // Empty: the earlier try committed while this one waited for it.
    a.id = rows.empty() ? byToken() : i64(rows.at(0).at(0));
    if (!m.dedupKey.empty()) {
        db.query("UPDATE zelvo_keys SET message_id = ? WHERE scope = ? AND dedup_key = ?",
                 {a.id, m.dedupScope, m.dedupKey});
    }
    if (!rows.empty()) event(db, a.id, t, "added");
    return a;
}

std::vector<Message> SqlStore::startRunner(const std::string& runner, const ClaimRules&) {
    Lease db(*this);
    const std::string condition = becomeRunner();
    Tx tx(*db);
    const double t = (*db).now();
    auto orphans = markUnknown(*db, condition, {t}, t, kDead);
    // Each start is a runner of its own name: the names of those gone
    // for a week are forgotten.
    (*db).query("DELETE FROM zelvo_runners WHERE beat < ?", {t - 7 * 86400});
    beat(*db, runner, t);
    tx.commit();
    return orphans;
}

std::vector<Claim> SqlStore::claimAll(const std::string& runner, const ClaimRules& rules,
                                      const std::vector<ClaimRequest>& requests,
                                      const std::vector<long long>& held) {
    Lease db(*this);
    std::vector<Claim> out(requests.size());
    Tx tx(*db);
    const double t = (*db).now();
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].done) out[i].finishApplied = record(*db, *requests[i].done, t);
    }
    // Claims of dead runners are looked for about once a second.
    if (t - lastSweep_ >= 1 && !out.empty()) {
        lastSweep_ = t;
        // Never what this runner holds: it knows they are in flight, or
        // keeps their answers until it can record them.
        std::string condition = "state = 'sending' AND lease_until < ?";
        std::vector<Param> params{t};
        if (!held.empty()) {
            condition += " AND NOT (runner = ? AND id IN (";
            params.push_back(runner);
            for (std::size_t i = 0; i < held.size(); ++i) {
                condition += i ? ", ?" : "?";
                params.push_back(held[i]);
            }
            condition += "))";
        }
        out.front().orphaned = markUnknown(*db, condition, params, t, kDead);
    }
    if (t - lastBeat_ >= kHeartbeatSeconds) beat(*db, runner, t);
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].want) take(*db, runner, rules, t, &out[i]);
    }
    tx.commit();
    return out;
}

std::vector<Message> SqlStore::list(std::optional<State> only) {
    Lease db(*this);
    std::vector<Message> out;
    const auto rows =
        only ? (*db).query(select("WHERE state = ? ORDER BY id"), {std::string(stateName(*only))})
             : (*db).query(select("ORDER BY id"));
    for (const Row& r : rows) out.push_back(readMessage(r));
    return out;
}

std::vector<Message> SqlStore::page(std::optional<State> only, long long after, int limit,
                                    const std::string& submitter) {
    Lease db(*this);
    std::string where = "WHERE id > ?";
    std::vector<Param> params{after};
    if (only) {
        where += " AND state = ?";
        params.emplace_back(std::string(stateName(*only)));
    }
    if (!submitter.empty()) {
        where += " AND submitter = ?";
        params.emplace_back(submitter);
    }
    params.emplace_back(static_cast<long long>(limit));
    std::vector<Message> out;
    for (const Row& r : (*db).query(select(where + " ORDER BY id LIMIT ?"), params)) {
        out.push_back(readMessage(r));
    }
    return out;
}

std::optional<Message> SqlStore::get(long long id) {
    Lease db(*this);
    const auto rows = (*db).query(select("WHERE id = ?"), {id});
    if (rows.empty()) return std::nullopt;
    Message m = readMessage(rows[0]);
    for (const Row& a : (*db).query("SELECT number, runner, started, coalesce(ended, 0), "
                                    "outcome, answer, error FROM zelvo_attempts "
                                    "WHERE message_id = ? ORDER BY number",
                                    {id})) {
        m.history.push_back(
            Attempt{static_cast<int>(i64(a[0])), a[1], f64(a[2]), f64(a[3]), a[4], a[5], a[6]});
    }
    for (const Row& e : (*db).query(
             "SELECT at, text FROM zelvo_events WHERE message_id = ? ORDER BY at, id", {id})) {
        m.events.push_back(Event{f64(e[0]), e[1]});
    }
    return m;
}

std::map<State, long long> SqlStore::stats() {
    Lease db(*this);
    return counts(*db);
}

std::map<State, long long> SqlStore::counts(Database& db) {
    std::map<State, long long> out;
    for (State s : kAllStates) out[s] = 0;
    for (const Row& r : db.query("SELECT state, count(*) FROM zelvo_messages GROUP BY state")) {
        if (auto s = stateFromName(r[0])) out[*s] = i64(r[1]);
    }
    return out;
}

void SqlStore::beat(Database& db, const std::string& runner, double t) {
    db.query(
        "INSERT INTO zelvo_runners (runner, beat) VALUES (?, ?) "
        "ON CONFLICT (runner) DO UPDATE SET beat = excluded.beat",
        {runner, t});
    lastBeat_ = t;
}

Health SqlStore::health() {
    Lease db(*this);
    Health h;
    h.now = (*db).now();
    h.counts = counts(*db);
    const auto due = (*db).query(
        "SELECT count(*), coalesce(min(due), 0) FROM zelvo_messages "
        "WHERE state = 'queued' AND due <= ?",
        {h.now});
    h.due = i64(due.at(0).at(0));
    h.oldestDue = f64(due[0][1]);
    h.lastBeat = f64((*db).query("SELECT coalesce(max(beat), 0) FROM zelvo_runners").at(0).at(0));
    for (State s :
         {State::Accepted, State::Refused, State::Unknown, State::Failed, State::Queued}) {
        h.attempts[stateName(s)] = 0;
    }
    for (const Row& r : (*db).query("SELECT outcome, count(*), max(ended) FROM zelvo_attempts "
                                    "WHERE ended IS NOT NULL GROUP BY outcome")) {
        h.attempts[r[0]] = i64(r[1]);
        if (r[0] == "accepted") h.lastAccepted = f64(r[2]);
    }
    return h;
}

std::map<std::string, long long> SqlStore::holders() {
    Lease db(*this);
    std::map<std::string, long long> out;
    for (const Row& r : (*db).query("SELECT runner, count(*) FROM zelvo_messages "
                                    "WHERE state = 'sending' GROUP BY runner")) {
        out[r[0]] = i64(r[1]);
    }
    return out;
}

Change SqlStore::retry(long long id, const std::string& who) {
    return decide(id, who, retryAllowed, "queued", "put back to the queue");
}

Change SqlStore::drop(long long id, const std::string& who) {
    return decide(id, who, dropAllowed, "dropped", "dropped");
}

std::vector<Message> SqlStore::markUnknown(Database& db, const std::string& condition,
                                           const std::vector<Param>& params, double t,
                                           const std::string& why) {
    std::vector<Message> found;
    for (const Row& r : db.query(select("WHERE " + condition + skipLocked()), params)) {
        found.push_back(readMessage(r));
    }
    for (const Message& m : found) {
        db.query(
            "UPDATE zelvo_messages SET state = 'unknown', runner = NULL, "
            "lease_until = NULL, answer = ? WHERE id = ?",
            {why, m.id});
        db.query(
            "UPDATE zelvo_attempts SET ended = ?, outcome = 'unknown', error = ? "
            "WHERE message_id = ? AND number = ? AND ended IS NULL",
            {t, why, m.id, static_cast<long long>(m.attempts)});
        event(db, m.id, t, "unknown: " + why + " (" + m.runner + ")");
    }
    return found;
}

void SqlStore::event(Database& db, long long id, double t, const std::string& text) {
    db.query("INSERT INTO zelvo_events (message_id, at, text) VALUES (?, ?, ?)", {id, t, text});
}

bool SqlStore::record(Database& db, const Finish& f, double t) {
    const std::string outcome = stateName(f.state);
    db.query(
        "UPDATE zelvo_attempts SET ended = ?, outcome = ?, answer = ?, error = ? "
        "WHERE message_id = ? AND number = ?",
        {t, outcome, f.answer, f.error, f.id, static_cast<long long>(f.attempt)});
    const bool failure = f.state == State::Queued || f.state == State::Failed;
    // The message itself only while it still waits for this attempt's end
    // (a runner that came back late may find it marked unknown).
    const auto changed = db.query(
        "UPDATE zelvo_messages SET state = ?, due = ?, failures = failures + ?, runner = NULL, "
        "lease_until = NULL, answer = ? WHERE id = ? AND attempts = ? "
        "AND state IN ('sending', 'unknown') RETURNING id",
        {outcome, t + f.retryAfter, static_cast<long long>(failure),
         f.answer.empty() ? f.error : f.answer, f.id, static_cast<long long>(f.attempt)});
    return !changed.empty();
}

void SqlStore::take(Database& db, const std::string& runner, const ClaimRules& rules, double t,
                    Claim* c) {
    const bool limited = rules.perSecond > 0 || rules.perRecipientPerMinute > 0;
    if (limited) {
        lockLimits(db);
        db.query("DELETE FROM zelvo_sends WHERE at < ?", {t - 61});
    }
    if (rules.perSecond > 0) {
        const auto r = db.query(
            "SELECT count(*), coalesce(min(at), 0) FROM zelvo_sends WHERE at > ?", {t - 1});
        if (i64(r[0][0]) >= rules.perSecond) {
            c->limited = true;
            c->waitSeconds = f64(r[0][1]) + 1 - t;
            return;
        }
    }
    std::string where = "WHERE state = 'queued' AND due <= ?";
    std::vector<Param> params{t};
    if (rules.perRecipientPerMinute > 0) {
        where +=
            " AND receiver NOT IN (SELECT receiver FROM zelvo_sends WHERE at > ? GROUP BY "
            "receiver HAVING count(*) >= ?)";
        params.push_back(t - 60);
        params.push_back(static_cast<long long>(rules.perRecipientPerMinute));
    }
    const std::string sql = select(where + " ORDER BY id LIMIT 1" + skipLocked());
    for (int round = 0; round < 1000; ++round) {
        const auto rows = db.query(sql, params);
        if (rows.empty()) {
            nothingDue(db, rules, t, c);
            return;
        }
        Message m = readMessage(rows[0]);
        const double ttlFrom = f64(rows[0][15]);
        const long long ttl = m.ttl > 0 ? m.ttl : rules.ttl;
        if (ttl > 0 && ttlFrom + static_cast<double>(ttl) <= t) {
            db.query("UPDATE zelvo_messages SET state = 'expired' WHERE id = ?", {m.id});
            event(db, m.id, t, "expired: not sent within its TTL of " + std::to_string(ttl) + " s");
            c->expired.push_back(m);
            continue;
        }
        m.attempts += 1;
        db.query(
            "UPDATE zelvo_messages SET state = 'sending', attempts = ?, runner = ?, "
            "lease_until = ? WHERE id = ?",
            {static_cast<long long>(m.attempts), runner, t + rules.leaseSeconds, m.id});
        db.query(
            "INSERT INTO zelvo_attempts (message_id, number, runner, started) "
            "VALUES (?, ?, ?, ?)",
            {m.id, static_cast<long long>(m.attempts), runner, t});
        if (limited) {
            db.query("INSERT INTO zelvo_sends (at, receiver) VALUES (?, ?)", {t, m.receiver});
        }
        m.state = State::Sending;
        m.runner = runner;
        c->attempt = m.attempts;
        c->message = std::move(m);
        return;
    }
}

void SqlStore::nothingDue(Database& db, const ClaimRules& rules, double t, Claim* c) {
    const auto r = db.query(
        "SELECT count(*), coalesce(min(due), 0) FROM zelvo_messages WHERE state = 'queued'");
    if (i64(r[0][0]) == 0) {
        c->waitSeconds = -1;  // nothing queued at all
        return;
    }
    const double first = f64(r[0][1]);
    if (first <= t) {
        // Due, but held by other runners' claims or by the recipients' limits.
        c->limited = true;
        c->waitSeconds = rules.perRecipientPerMinute > 0 ? 1 : 0.05;
    } else {
        c->waitSeconds = first - t;
    }
}

Change SqlStore::decide(long long id, const std::string& who, bool (*allowed)(State),
                        const char* to, const char* what) {
    Lease db(*this);
    Tx tx(*db);
    const auto rows = (*db).query(std::string("SELECT state FROM zelvo_messages WHERE id = ?") +
                                      (*skipLocked() ? " FOR UPDATE" : ""),
                                  {id});
    if (rows.empty()) return Change::NoSuchMessage;
    const auto state = stateFromName(rows[0][0]);
    if (!state || !allowed(*state)) return Change::NotAllowed;
    const double t = (*db).now();
    (*db).query(
        "UPDATE zelvo_messages SET state = ?, due = ?, failures = 0, ttl_from = ? "
        "WHERE id = ?",
        {std::string(to), t, t, id});
    event(*db, id, t, std::string(what) + " by " + who + " (was " + stateName(*state) + ")");
    tx.commit();
    return Change::Done;
}

}  // namespace zelvoqueue
