// The shared engine: a PostgreSQL database that the runners of several
// hosts use together. A connection per worker; claims skip the rows other
// transactions hold (FOR UPDATE SKIP LOCKED), the rate limits are taken
// under one transaction-scoped advisory lock, and every time is the
// server's clock, so that the hosts' clocks do not matter. A runner's claim
// carries a lease; a claim whose lease ran out belongs to a runner that is
// gone and becomes `unknown`.
#include <libpq-fe.h>

#include <map>

#include "sql_store.h"

namespace zelvoqueue {

namespace {

constexpr char kSchema[] = R"(
CREATE TABLE zelvo_messages (
  id bigserial PRIMARY KEY,
  state text NOT NULL,
  receiver text NOT NULL,
  body bytea NOT NULL,
  time_value text NOT NULL DEFAULT '',
  test integer NOT NULL DEFAULT 0,
  account text NOT NULL DEFAULT '',
  ttl bigint NOT NULL DEFAULT 0,
  created double precision NOT NULL,
  ttl_from double precision NOT NULL,
  due double precision NOT NULL,
  attempts integer NOT NULL DEFAULT 0,
  failures integer NOT NULL DEFAULT 0,
  runner text,
  lease_until double precision,
  answer text NOT NULL DEFAULT '');
CREATE INDEX zelvo_messages_by_state ON zelvo_messages(state, id);
CREATE INDEX zelvo_messages_queued ON zelvo_messages(id) WHERE state = 'queued';
CREATE TABLE zelvo_attempts (
  message_id bigint NOT NULL,
  number integer NOT NULL,
  runner text NOT NULL,
  started double precision NOT NULL,
  ended double precision,
  outcome text NOT NULL DEFAULT 'sending',
  answer text NOT NULL DEFAULT '',
  error text NOT NULL DEFAULT '',
  PRIMARY KEY (message_id, number));
CREATE TABLE zelvo_events (id bigserial PRIMARY KEY, message_id bigint NOT NULL,
  at double precision NOT NULL, text text NOT NULL);
CREATE INDEX zelvo_events_by_message ON zelvo_events(message_id);
CREATE TABLE zelvo_sends (at double precision NOT NULL, receiver text NOT NULL);
CREATE INDEX zelvo_sends_by_time ON zelvo_sends(at);
CREATE INDEX zelvo_sends_by_receiver ON zelvo_sends(receiver, at);
)";

// Advisory lock keys: the schema's creation, the rate limits.
constexpr long long kSchemaLock = 0x5A4C5651;
constexpr long long kLimitsLock = 0x5A4C5652;
constexpr unsigned kByteaOid = 17;

// What an error of a statement means for the caller, by its SQLSTATE: the
// connection or the server went away (a new connection may succeed), the
// server is short of connections or chose this transaction to give way in a
// deadlock or a serialization conflict (the same call may succeed), or its
// disk is full.
Trouble statementTrouble(const char* sqlstate) {
    if (!sqlstate) return Trouble::Fatal;
    const std::string s = sqlstate;
    if (s.rfind("08", 0) == 0 || s.rfind("57P", 0) == 0) return Trouble::Lost;
    if (s == "53300" || s == "40001" || s == "40P01" || s == "55P03" || s == "53200") {
        return Trouble::Busy;
    }
    if (s == "53100") return Trouble::Full;
    return Trouble::Fatal;
}

// A connection that could not be made: waiting helps unless the server
// refused who we are or what we asked for (libpq gives no SQLSTATE here,
// only the server's text).
Trouble connectTrouble(const std::string& why) {
    for (const char* cannot :
         {"password authentication failed", "no password supplied", "does not exist",
          "no pg_hba.conf entry", "permission denied", "authentication failed",
          "invalid connection option", "invalid URI", "invalid integer value"}) {
        if (why.find(cannot) != std::string::npos) return Trouble::Fatal;
    }
    if (why.find("too many clients") != std::string::npos ||
        why.find("remaining connection slots") != std::string::npos ||
        why.find("starting up") != std::string::npos ||
        why.find("shutting down") != std::string::npos ||
        why.find("recovery mode") != std::string::npos) {
        return Trouble::Busy;
    }
    return Trouble::Lost;
}

// A bytea column's bytes from its text form, decoded by libpq.
std::string byteaBytes(const char* text) {
    std::size_t n = 0;
    unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &n);
    if (!bytes) throw StoreError("out of memory decoding a message body");
    std::string out(reinterpret_cast<const char*>(bytes), n);
    PQfreemem(bytes);
    return out;
}

class PgDatabase : public Database {
  public:
    PgDatabase(const std::string& uri, const std::string& where) : where_(where) {
        // A server that takes the connection but never answers must not
        // hold a caller past its own time limit; the URI's own
        // connect_timeout, coming later, wins.
        const char* keys[] = {"connect_timeout", "dbname", "fallback_application_name",
                              "client_encoding", nullptr};
        const char* values[] = {"10", uri.c_str(), "zelvo-queue", "UTF8", nullptr};
        conn_ = PQconnectdbParams(keys, values, 1);
        if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
            const std::string why = conn_ ? PQerrorMessage(conn_) : "out of memory";
            PQfinish(conn_);
            conn_ = nullptr;
            throw StoreError(where_ + ": cannot connect: " + trim(why), connectTrouble(why));
        }
        // The server's notices (a connection ended by its administrator)
        // are not ours to print; the errors that follow them are.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        query("SET synchronous_commit = on", {});
    }
    ~PgDatabase() override { PQfinish(conn_); }

    std::vector<Row> query(const std::string& sql, const std::vector<Param>& params) override {
        // "?" becomes "$1", "$2" ...; the statements have no "?" of their own.
        std::string text;
        int n = 0;
        for (char c : sql) {
            if (c == '?') {
                text += "$" + std::to_string(++n);
            } else {
                text += c;
            }
        }
        std::vector<std::string> values(params.size());
        std::vector<const char*> pointers(params.size());
        std::vector<int> lengths(params.size()), formats(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            const Param& p = params[i];
            if (const auto* v = std::get_if<long long>(&p)) {
                values[i] = std::to_string(*v);
            } else if (const auto* d = std::get_if<double>(&p)) {
                char buf[40];
                std::snprintf(buf, sizeof buf, "%.17g", *d);
                values[i] = buf;
            } else if (const auto* t = std::get_if<std::string>(&p)) {
                values[i] = *t;
            } else if (std::holds_alternative<Null>(p)) {
                // NULL: no value at all
            } else {
                values[i] = std::get<Blob>(p).bytes;
                formats[i] = 1;  // binary: the bytes as they are
            }
            pointers[i] = std::holds_alternative<Null>(p) ? nullptr : values[i].c_str();
            lengths[i] = static_cast<int>(values[i].size());
        }
        // Each statement is parsed and planned once per connection.
        auto [named, fresh] = prepared_.emplace(text, "s" + std::to_string(prepared_.size()));
        if (fresh) {
            PGresult* p = PQprepare(conn_, named->second.c_str(), text.c_str(),
                                    static_cast<int>(params.size()), nullptr);
            std::unique_ptr<PGresult, void (*)(PGresult*)> owner(p, PQclear);
            if (!p || PQresultStatus(p) != PGRES_COMMAND_OK) {
                prepared_.erase(named);
                fail(p);
            }
        }
        PGresult* r = PQexecPrepared(conn_, named->second.c_str(), static_cast<int>(params.size()),
                                     pointers.data(), lengths.data(), formats.data(), 0);
        std::unique_ptr<PGresult, void (*)(PGresult*)> owner(r, PQclear);
        const auto status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(r);
        std::vector<Row> rows;
        for (int i = 0; i < PQntuples(r); ++i) {
            Row row;
            for (int c = 0; c < PQnfields(r); ++c) {
                const char* v = PQgetvalue(r, i, c);
                row.emplace_back(PQftype(r, c) == kByteaOid ? byteaBytes(v) : std::string(v));
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    // Statements separated by ";", without parameters.
    void script(const char* sql) {
        PGresult* r = PQexec(conn_, sql);
        std::unique_ptr<PGresult, void (*)(PGresult*)> owner(r, PQclear);
        if (!r || PQresultStatus(r) != PGRES_COMMAND_OK) fail(r);
    }

    void begin() override { script("BEGIN"); }
    void commit() override { script("COMMIT"); }
    void rollback() noexcept override {
        if (conn_ && PQstatus(conn_) == CONNECTION_OK) PQclear(PQexec(conn_, "ROLLBACK"));
    }
    double now() override {
        return std::stod(query("SELECT extract(epoch FROM clock_timestamp())::float8", {})[0][0]);
    }
    bool broken() const override { return broken_ || PQstatus(conn_) != CONNECTION_OK; }

  private:
    static std::string trim(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
        return s;
    }

    [[noreturn]] void fail(PGresult* r) {
        const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
        const Trouble trouble =
            PQstatus(conn_) != CONNECTION_OK ? Trouble::Lost : statementTrouble(state);
        // A connection in doubt is not used again.
        if (trouble != Trouble::Fatal) broken_ = true;
        throw StoreError(where_ + ": " + trim(PQerrorMessage(conn_)), trouble);
    }

    std::string where_;
    PGconn* conn_ = nullptr;
    bool broken_ = false;
    std::map<std::string, std::string> prepared_;  // statement -> its name
};

class PostgresStore : public SqlStore {
  public:
    PostgresStore(const std::string& uri, const std::string& where, bool create)
        : SqlStore(where, 64), uri_(uri), create_(create) {}
    ~PostgresStore() override { closeAll(); }

  protected:
    std::unique_ptr<Database> connect() override {
        return std::make_unique<PgDatabase>(uri_, where_);
    }

    void ensureSchema(Database& db) override {
        db.begin();
        try {
            db.query("SELECT pg_advisory_xact_lock(?)", {kSchemaLock});
            const auto meta = db.query("SELECT to_regclass('zelvo_meta') IS NOT NULL", {});
            int version = 1;
            if (meta.at(0).at(0) != "t") {
                if (!create_) {
                    throw StoreError(where_ + ": no queue in this database (init creates one)");
                }
                static_cast<PgDatabase&>(db).script(kSchema);
                db.query("CREATE TABLE zelvo_meta (name text PRIMARY KEY, value text NOT NULL)",
                         {});
                db.query("INSERT INTO zelvo_meta VALUES ('schema_version', '1')", {});
            } else {
                const auto v =
                    db.query("SELECT value FROM zelvo_meta WHERE name = 'schema_version'", {});
                version = v.empty() ? 0 : std::stoi(v[0][0]);
                if (version > kSchemaVersion) {
                    throw StoreError(where_ + ": the queue has schema version " +
                                     std::to_string(version) + ", newer than this program's " +
                                     std::to_string(kSchemaVersion) +
                                     "; use a newer zelvo-queue (nothing was changed)");
                }
                if (version < 1) throw StoreError(where_ + ": zelvo_meta names no schema version");
            }
            if (version < kSchemaVersion) {
                for (; version < kSchemaVersion; ++version) {
                    static_cast<PgDatabase&>(db).script(upgradeTo(version + 1));
                }
                db.query("UPDATE zelvo_meta SET value = ? WHERE name = 'schema_version'",
                         {std::to_string(version)});
            }
            db.commit();
        } catch (...) {
            db.rollback();
            throw;
        }
    }

    const char* skipLocked() const override { return " FOR UPDATE SKIP LOCKED"; }

    void lockLimits(Database& db) override {
        db.query("SELECT pg_advisory_xact_lock(?)", {kLimitsLock});
    }

    // Several runners at once: only a claim whose lease has run out is dead.
    std::string becomeRunner() override { return "state = 'sending' AND lease_until < ?"; }

  private:
    std::string uri_;
    bool create_;
};

}  // namespace

std::unique_ptr<Store> openPostgres(const std::string& uri, double patience, bool create) {
    // A password in the URI would show in the process list and the logs.
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(uri.c_str(), &error);
    if (!options) {
        const std::string why = error ? error : "out of memory";
        PQfreemem(error);
        throw StoreError("the database URI is not valid: " + why);
    }
    std::string where = "postgresql://";
    std::string user, host, port, dbname;
    bool password = false;
    for (PQconninfoOption* o = options; o->keyword; ++o) {
        const std::string k = o->keyword;
        const std::string v = o->val ? o->val : "";
        if (k == "password" && !v.empty()) password = true;
        if (k == "user") user = v;
        if (k == "host") host = v;
        if (k == "port") port = v;
        if (k == "dbname") dbname = v;
    }
    PQconninfoFree(options);
    where +=
        (user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) + "/" + dbname;
    if (password) {
        throw StoreError(where +
                         ": the URI holds a password, which the process list would show; put it "
                         "into a password file (PGPASSFILE or ~/.pgpass) instead");
    }
    auto store = std::make_unique<PostgresStore>(uri, where, create);
    store->setPatience(patience);
    store->init();
    return store;
}

}  // namespace zelvoqueue
