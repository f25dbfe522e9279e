// The queue's storage: one small interface, an engine per database. Every
// rule that decides a message's state lives in the runner and the commands;
// an engine keeps the rows, takes the claims in one transaction each and
// uses its own clock for every time it stores or compares.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelvoqueue {

enum class State { Queued, Sending, Accepted, Refused, Failed, Unknown, Expired, Dropped };

constexpr State kAllStates[] = {State::Queued, State::Sending, State::Accepted, State::Refused,
                                State::Failed, State::Unknown, State::Expired,  State::Dropped};

const char* stateName(State s);
std::optional<State> stateFromName(const std::string& name);

// Why the database could not be used, and whether waiting may mend it.
enum class Trouble {
    Fatal,  // a foreign or damaged file, a newer schema, no permission: waiting cannot help
    Busy,   // another writer holds the database, the server has no free connection,
            // is starting up or shutting down, or gave this transaction up
    Full,   // the disk is full
    Lost,   // the connection to the server is gone (or never came up); a commit
            // under way when it went may or may not have taken effect
};

// The database cannot be opened, read or written: the commands exit 2
// unless they wait it out.
class StoreError : public std::runtime_error {
  public:
    explicit StoreError(const std::string& what, Trouble trouble = Trouble::Fatal)
        : std::runtime_error(what), trouble_(trouble) {}
    Trouble trouble() const { return trouble_; }
    // The same call may succeed later.
    bool transient() const { return trouble_ != Trouble::Fatal; }

  private:
    Trouble trouble_;
};

// A message as `add` hands it over: already checked and converted.
struct NewMessage {
    std::string receiver;  // "+491711234567" or "01711234567"
    std::string body;      // Latin-1, line breaks as backslash-n: the bytes sent
    std::string time;      // the gateway's time value, prepared; empty: none
    bool test = false;
    std::string account;  // "" is the configuration's default account
    long long ttl = 0;    // seconds; 0: the runner's configured TTL

    // Unique to one `add`: a retry after a commit whose outcome is open
    // finds the message stored by the first try instead of storing it twice.
    std::string token;
    // The caller's own key against its retries: while a message with the
    // same key (in the same scope) was added less than `dedupWindow`
    // seconds ago, nothing is stored and that message is the result.
    std::string dedupKey;
    std::string dedupScope;
    double dedupWindow = 86400;
    std::string submitter;  // the HTTP interface's token name; "" from the command line
};

// What add() made of one message.
struct Added {
    long long id = 0;
    bool duplicate = false;  // the key was taken: `id` is the first message's
    bool differs = false;    // ... and its fields differ from this one's
};

// The fields that tell two messages apart, in one text: equal for equal
// messages, whatever the key, token or time of adding.
std::string fingerprint(const NewMessage& m);

// 128 random bits as hex: a new token for NewMessage::token.
std::string newToken();

// Bytes as lowercase hex digits.
std::string toHex(const unsigned char* bytes, std::size_t n);

// `n` random bytes as hex. Throws std::system_error when the system has no
// randomness to give.
std::string randomHex(std::size_t n);

struct Attempt {
    int number = 0;
    std::string runner;
    double started = 0;
    double ended = 0;     // 0 while in flight
    std::string outcome;  // a state name: accepted, refused, queued, failed, unknown
    std::string answer;   // the gateway's line, UTF-8
    std::string error;    // the local error text, UTF-8
};

struct Event {
    double at = 0;
    std::string text;
};

struct Message {
    long long id = 0;
    State state = State::Queued;
    std::string receiver;
    std::string body;
    std::string time;
    bool test = false;
    std::string account;
    long long ttl = 0;
    double created = 0;
    double due = 0;      // not sent before this
    int attempts = 0;    // all attempts so far
    int failures = 0;    // local failures since it was last queued by a person
    std::string runner;  // the runner holding it while sending
    double leaseUntil = 0;
    std::string answer;            // the last answer or error
    std::string dedupKey;          // "" when added without one
    std::string submitter;         // the token name it came with over HTTP, or ""
    std::vector<Attempt> history;  // filled by get()
    std::vector<Event> events;     // filled by get()
};

// What the runner asks of a claim.
struct ClaimRules {
    int perSecond = 0;              // claims in any one second, all runners; 0: no limit
    int perRecipientPerMinute = 0;  // claims per recipient in any 60 s; 0: no limit
    long long ttl = 3600;           // for messages added without their own
    double leaseSeconds = 300;      // how long a claim is held before it counts as dead
};

// The result of the attempt the runner made, recorded in the claim
// transaction of its next message (or alone).
struct Finish {
    long long id = 0;
    int attempt = 0;
    State state = State::Queued;  // accepted, refused, queued (retry), failed or unknown
    double retryAfter = 0;        // seconds, when queued again
    std::string answer;           // UTF-8
    std::string error;            // UTF-8
};

struct Claim {
    std::optional<Message> message;  // the message now `sending`, if one was due
    int attempt = 0;
    double waitSeconds = 0;  // when none: how long until one may be due (a hint); -1: none queued
    bool limited = false;    // when none: messages are due but a rate limit holds them
    std::vector<Message> expired;   // what this claim found older than its TTL
    std::vector<Message> orphaned;  // what it found held by a dead runner: now unknown
    bool finishApplied = true;      // false: the finished message had been changed meanwhile
};

// One worker's part of claimAll().
struct ClaimRequest {
    const Finish* done = nullptr;
    bool want = false;
};

// The queue as monitoring sees it, read in one go.
struct Health {
    double now = 0;                     // the database's clock
    std::map<State, long long> counts;  // messages per state
    long long due = 0;                  // queued and due now (a rate limit may still hold them)
    double oldestDue = 0;     // when the longest waiting of those became due (added, queued
                              // again by a person, or its back-off ended); 0: none is due
    double lastBeat = 0;      // the newest heartbeat of any runner; 0: none ever
    double lastAccepted = 0;  // the end of the last accepted attempt; 0: none
    std::map<std::string, long long> attempts;  // ended attempts by outcome (a state name)
};

// How often a runner records that it is working, at most: folded into a
// claim, which the runner makes at least as often while it runs.
constexpr double kHeartbeatSeconds = 5;

// The result of retry and drop.
enum class Change { Done, NoSuchMessage, NotAllowed };

class Store {
  public:
    virtual ~Store() = default;

    // Creates or upgrades the schema (init); the other calls do it on first use.
    virtual void init() = 0;

    // How long one call may wait for a busy database (another writer, no
    // free connection) before it throws StoreError with Trouble::Busy.
    virtual void setPatience(double seconds) = 0;

    // Commits all messages in one transaction; what became of each, in
    // order. A message whose token is stored already is not stored again:
    // its result is the stored one.
    virtual std::vector<Added> add(const std::vector<NewMessage>& messages) = 0;

    // A runner starts: it becomes the one named `runner`. Messages left in
    // `sending` by runners that are gone become `unknown` (returned).
    virtual std::vector<Message> startRunner(const std::string& runner,
                                             const ClaimRules& rules) = 0;

    // One transaction and one forced write for several claims, in order.
    // Each request: records its `done` (if given), then, if `want`, takes
    // the oldest due message within the limits and marks it `sending` for
    // `runner`. Once per transaction, messages past their TTL become
    // `expired` and dead runners' claims `unknown` (those go with the first
    // result). Committed before it returns. `held`: the messages that
    // `runner` holds (in flight, or with an answer to record), never taken
    // for a dead runner's; its other claims past their lease are (a claim
    // whose commit was lost with the connection).
    virtual std::vector<Claim> claimAll(const std::string& runner, const ClaimRules& rules,
                                        const std::vector<ClaimRequest>& requests,
                                        const std::vector<long long>& held) = 0;

    virtual std::vector<Message> list(std::optional<State> only) = 0;
    // At most `limit` messages with ids above `after`, ascending; only
    // those of `submitter` unless it is empty.
    virtual std::vector<Message> page(std::optional<State> only, long long after, int limit,
                                      const std::string& submitter) = 0;
    virtual std::optional<Message> get(long long id) = 0;
    virtual std::map<State, long long> stats() = 0;
    virtual Health health() = 0;
    // Which runner holds how many messages in `sending`.
    virtual std::map<std::string, long long> holders() = 0;

    // A person's decisions, recorded with `who`.
    virtual Change retry(long long id, const std::string& who) = 0;
    virtual Change drop(long long id, const std::string& who) = 0;

    // Where the data is, for messages (never a password).
    virtual std::string where() const = 0;
};

// Whether `where` names a PostgreSQL database (postgresql:// or postgres://).
bool isPostgresUri(const std::string& where);

// `where` is a file path or a postgresql:// (postgres://) connection URI;
// `patience` as for setPatience(), also for the opening itself. A queue
// that is not there yet is created, unless `create` is false: then that is
// a StoreError (Fatal), and nothing is created.
std::unique_ptr<Store> openStore(const std::string& where, double patience = 10,
                                 bool create = true);

std::unique_ptr<Store> openSqlite(const std::string& path, double patience, bool create);
std::unique_ptr<Store> openPostgres(const std::string& uri, double patience, bool create);

// The database when --db is not given: $ZELVO_QUEUE_DB, else
// /var/lib/zelvo/queue.db for root, else the user's state directory.
std::string defaultDatabase();

// Which states retry and drop act on.
bool retryAllowed(State s);
bool dropAllowed(State s);

// The schema version this build writes; a newer database is refused.
constexpr int kSchemaVersion = 4;

}  // namespace zelvoqueue
