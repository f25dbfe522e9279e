// The embedded engine: one SQLite file in WAL mode with synchronous FULL,
// so that every commit is on disk before the call returns. One connection,
// so the transactions of a process's workers follow one another; one runner
// works on a file at a time (a lock file beside it), while `add`, `list` and
// the other commands may run beside it.
//
// Writers take turns: SQLite's own wait for its write lock is a sleep and a
// new try, which lets some writers pass again and again while others starve
// (in a storm of a thousand adds, some waited past any time limit). So every
// write transaction of this program first queues for an exclusive lock on
// the file "<db>-writers.lock", which the kernel grants in the order asked;
// SQLite's own wait is then only for other programs (a backup, a shell).
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "sql_store.h"
#include "turns.h"

namespace zelvoqueue {

namespace {

// "ZLVQ": marks the file as a queue of this program.
constexpr int kApplicationId = 0x5A4C5651;

constexpr char kSchema[] = R"(
CREATE TABLE zelvo_messages (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  state TEXT NOT NULL,
  receiver TEXT NOT NULL,
  body BLOB NOT NULL,
  time_value TEXT NOT NULL DEFAULT '',
  test INTEGER NOT NULL DEFAULT 0,
  account TEXT NOT NULL DEFAULT '',
  ttl INTEGER NOT NULL DEFAULT 0,
  created REAL NOT NULL,
  ttl_from REAL NOT NULL,
  due REAL NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  failures INTEGER NOT NULL DEFAULT 0,
  runner TEXT,
  lease_until REAL,
  answer TEXT NOT NULL DEFAULT '');
CREATE INDEX zelvo_messages_by_state ON zelvo_messages(state, id);
CREATE TABLE zelvo_attempts (
  message_id INTEGER NOT NULL,
  number INTEGER NOT NULL,
  runner TEXT NOT NULL,
  started REAL NOT NULL,
  ended REAL,
  outcome TEXT NOT NULL DEFAULT 'sending',
  answer TEXT NOT NULL DEFAULT '',
  error TEXT NOT NULL DEFAULT '',
  PRIMARY KEY (message_id, number));
CREATE TABLE zelvo_events (id INTEGER PRIMARY KEY, message_id INTEGER NOT NULL,
  at REAL NOT NULL, text TEXT NOT NULL);
CREATE INDEX zelvo_events_by_message ON zelvo_events(message_id);
CREATE TABLE zelvo_sends (at REAL NOT NULL, receiver TEXT NOT NULL);
CREATE INDEX zelvo_sends_by_time ON zelvo_sends(at);
CREATE INDEX zelvo_sends_by_receiver ON zelvo_sends(receiver, at);
)";

class SqliteDatabase : public Database {
  public:
    explicit SqliteDatabase(const std::string& path) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StoreError(path + ": cannot open the database: " + why);
        }
        sqlite3_busy_timeout(db_, 10000);
        sqlite3_extended_result_codes(db_, 1);
    }
    ~SqliteDatabase() override {
        for (auto& kept : statements_) sqlite3_finalize(kept.second);
        sqlite3_close(db_);
        if (turnFd_ >= 0) ::close(turnFd_);
    }

    void setPatience(double seconds) override {
        patience_ = std::max(0.0, seconds);
        sqlite3_busy_timeout(db_, static_cast<int>(std::min(patience_, 86400.0) * 1000));
    }

    std::vector<Row> query(const std::string& sql, const std::vector<Param>& params) override {
        sqlite3_stmt* s = statement(sql);
        // Reset on the way out, however it goes, so that it holds no read
        // open and can be used again.
        struct Reset {
            sqlite3_stmt* s;
            ~Reset() {
                sqlite3_reset(s);
                sqlite3_clear_bindings(s);
            }
        } reset{s};
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int n = static_cast<int>(i + 1);
            const Param& p = params[i];
            int rc = SQLITE_OK;
            if (const auto* v = std::get_if<long long>(&p)) {
                rc = sqlite3_bind_int64(s, n, *v);
            } else if (const auto* d = std::get_if<double>(&p)) {
                rc = sqlite3_bind_double(s, n, *d);
            } else if (const auto* t = std::get_if<std::string>(&p)) {
                rc = sqlite3_bind_text(s, n, t->data(), static_cast<int>(t->size()),
                                       SQLITE_TRANSIENT);
            } else if (std::holds_alternative<Null>(p)) {
                rc = sqlite3_bind_null(s, n);
            } else {
                const std::string& b = std::get<Blob>(p).bytes;
                rc =
                    sqlite3_bind_blob(s, n, b.data(), static_cast<int>(b.size()), SQLITE_TRANSIENT);
            }
            if (rc != SQLITE_OK) fail();
        }
        std::vector<Row> rows;
        for (;;) {
            const int rc = sqlite3_step(s);
            if (rc == SQLITE_DONE) break;
            if (rc != SQLITE_ROW) fail();
            Row row;
            for (int c = 0; c < sqlite3_column_count(s); ++c) {
                const auto* p = static_cast<const char*>(sqlite3_column_blob(s, c));
                row.emplace_back(
                    p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s, c)))
                      : std::string());
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail();
    }
    // The writers' turn first; then IMMEDIATE: the write lock is taken at
    // the start, so that two processes' transactions never find themselves
    // unable to go on.
    void begin() override {
        takeTurn();
        try {
            exec("BEGIN IMMEDIATE");
        } catch (...) {
            endTurn();
            throw;
        }
    }
    void commit() override {
        try {
            exec("COMMIT");
        } catch (...) {
            // A failed COMMIT (a full disk) may leave the transaction open.
            rollback();
            throw;
        }
        endTurn();
    }
    void rollback() noexcept override {
        if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        endTurn();
    }
    double now() override {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }
    bool broken() const override { return false; }

    [[noreturn]] void fail() const {
        std::string why = sqlite3_errmsg(db_);
        Trouble trouble = Trouble::Fatal;
        const int code = sqlite3_extended_errcode(db_) & 0xff;
        const int sys = sqlite3_system_errno(db_);
        if (code == SQLITE_IOERR && (sys == ENOSPC || sys == EFBIG || sys == EDQUOT)) {
            why = "the disk is full (" + why + ", " + std::strerror(sys) + "); nothing was written";
            throw StoreError(path_ + ": " + why, Trouble::Full);
        }
        switch (code) {
            case SQLITE_BUSY:
            case SQLITE_LOCKED:
                trouble = Trouble::Busy;
                why = "the database is locked by another program (" + why + ")";
                break;
            case SQLITE_NOTADB:
                why = "not a queue database (" + why + "); the file was left untouched";
                break;
            case SQLITE_CORRUPT:
                why = "the database is damaged (" + why + ")";
                break;
            case SQLITE_FULL:
                trouble = Trouble::Full;
                why = "the disk is full (" + why + "); nothing was written";
                break;
            case SQLITE_READONLY:
            case SQLITE_PERM:
            case SQLITE_CANTOPEN:
                why = "the database cannot be written (" + why + "); nothing was written";
                break;
            default:
                break;
        }
        throw StoreError(path_ + ": " + why, trouble);
    }

  private:
    // The statement prepared once per text: the runner's few statements
    // are parsed again and again otherwise. At most 64 are kept (texts
    // that vary, like a sweep naming the messages held, would grow it).
    sqlite3_stmt* statement(const std::string& sql) {
        const auto kept = statements_.find(sql);
        if (kept != statements_.end()) return kept->second;
        if (statements_.size() >= 64) {
            for (auto& old : statements_) sqlite3_finalize(old.second);
            statements_.clear();
        }
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
            SQLITE_OK) {
            sqlite3_finalize(s);
            fail();
        }
        if (!s) fail();  // only a comment or white space
        statements_.emplace(sql, s);
        return s;
    }

    void takeTurn() {
        if (turnFd_ < 0) turnFd_ = openLockFile(path_ + "-writers.lock", path_);
        // Without the lock file (a directory others may not write), SQLite's
        // own wait alone.
        if (turnFd_ < 0) return;
        if (!lockWithin(turnFd_, patience_)) {
            throw StoreError(
                path_ + ": the database is busy: other writers were still ahead after " +
                    std::to_string(static_cast<long long>(std::ceil(patience_))) + " s",
                Trouble::Busy);
        }
    }
    void endTurn() noexcept {
        if (turnFd_ >= 0) ::flock(turnFd_, LOCK_UN);
    }

    std::string path_;
    sqlite3* db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements_;
    int turnFd_ = -1;
    double patience_ = 10;
};

long long pragma(SqliteDatabase& db, const char* sql) {
    const auto rows = db.query(sql, {});
    return rows.empty() || rows[0].empty() ? 0 : std::stoll(rows[0][0]);
}

void makeParentDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    const std::string dir = path.substr(0, slash);
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return;
    makeParentDirectory(dir);
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw StoreError(path + ": cannot create the directory " + dir + ": " +
                         std::strerror(errno));
    }
}

class SqliteStore : public SqlStore {
  public:
    SqliteStore(const std::string& path, double patience) : SqlStore(path, 1) {
        setPatience(patience);
        makeParentDirectory(path);
        // Opened and identified at once: a file that is not a queue is
        // refused before anything could change it.
        init();
    }
    ~SqliteStore() override {
        closeAll();
        if (lockFd_ >= 0) ::close(lockFd_);
    }

  protected:
    std::unique_ptr<Database> connect() override {
        auto db = std::make_unique<SqliteDatabase>(where_);
        identify(*db);
        const auto mode = db->query("PRAGMA journal_mode=WAL", {});
        if (mode.empty() || mode[0].empty() || mode[0][0] != "wal") {
            throw StoreError(where_ + ": the database cannot be switched to WAL mode");
        }
        db->exec("PRAGMA synchronous=FULL");
        return db;
    }

    void ensureSchema(Database& base) override {
        auto& db = static_cast<SqliteDatabase&>(base);
        if (pragma(db, "PRAGMA user_version") == kSchemaVersion) return;
        db.begin();
        try {
            long long version = pragma(db, "PRAGMA user_version");
            if (version == 0) {
                db.exec(kSchema);
                db.exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
                version = 1;
            }
            for (; version < kSchemaVersion; ++version) {
                db.exec(upgradeTo(static_cast<int>(version + 1)));
            }
            db.exec(("PRAGMA user_version = " + std::to_string(version)).c_str());
            db.commit();
        } catch (...) {
            db.rollback();
            throw;
        }
    }

    std::string becomeRunner() override {
        // The lock goes with the process, however it ends.
        const std::string lockPath = where_ + "-runner.lock";
        lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
        if (lockFd_ < 0) {
            throw StoreError(lockPath + ": cannot open the runner's lock: " + std::strerror(errno));
        }
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            throw StoreError(where_ + ": another runner is working on this queue (" + lockPath +
                             " is locked)");
        }
        // Alone: whatever is still `sending` was left by a runner that died.
        return "state = 'sending' AND ? > 0";
    }

  private:
    // The file is empty, or a queue of a schema this build knows.
    void identify(SqliteDatabase& db) {
        // One read transaction: another process may be creating the schema
        // right now, and the three reads must see the same file.
        db.exec("BEGIN");
        long long appId = 0, version = 0, objects = 0;
        try {
            appId = pragma(db, "PRAGMA application_id");
            version = pragma(db, "PRAGMA user_version");
            objects = pragma(db, "SELECT count(*) FROM sqlite_master");
            db.exec("COMMIT");
        } catch (...) {
            db.rollback();
            throw;
        }
        if (objects == 0 && appId == 0) return;  // new
        if (appId != kApplicationId) {
            throw StoreError(where_ +
                             ": an SQLite database of another program, not a queue; the file "
                             "was left untouched");
        }
        if (version > kSchemaVersion) {
            throw StoreError(where_ + ": the queue has schema version " + std::to_string(version) +
                             ", newer than this program's " + std::to_string(kSchemaVersion) +
                             "; use a newer zelvo-queue (the file was left untouched)");
        }
    }

    int lockFd_ = -1;
};

}  // namespace

std::unique_ptr<Store> openSqlite(const std::string& path, double patience, bool create) {
    if (!create) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            throw StoreError(path + ": no queue there" +
                             (errno == ENOENT ? "" : std::string(": ") + std::strerror(errno)));
        }
        if (st.st_size == 0) throw StoreError(path + ": no queue there (an empty file)");
    }
    return std::make_unique<SqliteStore>(path, patience);
}

}  // namespace zelvoqueue
