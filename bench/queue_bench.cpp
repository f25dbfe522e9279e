// Throughput of the send queue end to end through the simulator.
//
//   bare loop   zelvonet::send straight to zelvo-gateway, 1 and 4 threads
//   queue       zelvo-queue run --once with 1 and 4 workers draining N
//               queued messages (the process's start included)
//   add         one message committed: in-process (the commit and its
//               fsync) and as a `zelvo-queue add` process
//   runners     with --pg URI: 1, 2 and 4 runner processes on PostgreSQL
//               draining N messages together, beside SQLite with one runner
//   fsync       appends forced to the disk one by one, in the same
//               directory as the queue: the floor of a crash-safe queue
//               with one worker is one of them per message on top of a send
//   storm       --storm N,N,... adds started at once, on SQLite and (with
//               --pg) on PostgreSQL, while a runner with 4 workers sends:
//               every add process is started first, blocked reading its
//               message from a pipe, then all messages are written and the
//               pipes closed in one loop; each add is timed from its release
//               to its exit. --storm-runs R repeats each size R times and
//               reports the slowest add over the runs.
//   http        --http N submissions (POST /v1/messages) to zelvo-queue serve,
//               on SQLite and (with --pg) PostgreSQL, from 64 threads, each
//               with one keep-alive HTTP/1.1 connection opened before they
//               are released together: requests per second, the median and
//               99th percentile of their times, the server's commits
//               (zelvo_queue_serve_commits_total) and submissions per
//               commit, beside the adds per second of the largest storm of
//               the same engine. A connection the server closed between
//               requests is opened again, and each is renewed before the
//               server's cut at 30 s; each submission must be answered 201
//               with an id no other got and be in the database once, under
//               that id.
//   watch       what watching the queue costs, on SQLite and (with --pg)
//               PostgreSQL: zelvo-queue run --once with 4 workers draining N
//               messages without --metrics and with --metrics 127.0.0.1:0
//               while /metrics is fetched once a second (each fetch must get
//               200); the heartbeat, in-process: one claimAll() with nothing
//               to take on each of 20 fresh Store objects, whose first call
//               beats, sweeps for dead runners and prepares their statements,
//               against the second at once (neither), and 5 s on (both)
//               against 1 s on (the sweep alone); and `check` and `metrics`
//               processes, best and median of 5, on a queue of
//               --check-messages M (90 % accepted with an ended attempt, 10 %
//               due, a fresh heartbeat; on PostgreSQL in a database of its
//               own, created and dropped beside the one --pg names).
//
// Every drain and every storm is checked against the simulator's outbox:
// each message there exactly once.
//
// Everything lies on the same disk as the build tree: the simulator forces
// each accepted message to its outbox, the queue each state change. Exits
// non-zero only when a message did not end up accepted, an add failed or a
// process failed, a fetch of /metrics got no 200, `check` could not read
// the queue (exit 3), or a submission over HTTP was not answered 201 or not
// stored exactly once; timings never fail.
//
//   zelvo_queue_bench [--messages N] [--pg URI] [--dir DIR] [--csv FILE] [--markdown]
//                     [--storm N,N,...] [--storm-runs R] [--check-messages M] [--http N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "send_core.h"
#include "store.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Clients submitting over HTTP at once: threads, each with a connection of its own.
constexpr int kHttpClients = 64;

double since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Starts a program with its standard output (and error) in `out`.
pid_t start(const std::vector<std::string>& args, const std::string& out) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        // No child to wait for or to signal: a pid of -1 would mean every process.
        std::fprintf(stderr, "queue bench: cannot start %s: %s\n", argv[0], std::strerror(rc));
        std::exit(2);
    }
    return pid;
}

// The child's exit status (128 + signal when killed); -1 when it cannot be waited for.
int finish(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

// One HTTP/1.1 connection to 127.0.0.1:PORT, kept open from request to
// request: each answer is read to the end of its Content-Length before the
// next request goes. A connection the server closed between two requests
// (idle for its 10 s, or after an answer with Connection: close) is opened
// again before the next, and each is renewed after 25 s, before the server
// cuts it at 30 s, so that no request meets the cut. Each read and write
// waits at most `seconds`.
class HttpConnection {
  public:
    HttpConnection(int port, int seconds) : port_(port), seconds_(seconds) {}
    ~HttpConnection() { close(); }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    int opened = 0;  // connections opened so far

    bool open() {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return false;
        const timeval limit{seconds_, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port_));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ++opened;
        openedAt_ = Clock::now();
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
        close();
        return false;
    }

    // The status of the answer to `request`, its body in `body`; 0 when no
    // whole answer came (the request is not sent again: it may have been
    // taken), and the connection is closed.
    int exchange(const std::string& request, std::string* body) {
        char byte;
        if (fd_ >= 0 &&
            (since(openedAt_) > 25 || ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) >= 0 ||
             (errno != EAGAIN && errno != EWOULDBLOCK))) {
            close();  // closed by the server, or about to be cut
        }
        if (fd_ < 0 && !open()) return 0;
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(request.size())) {
            return broken();
        }
        std::size_t end;
        while ((end = in_.find("\r\n\r\n")) == std::string::npos) {
            if (!more()) return broken();
        }
        std::string head = in_.substr(0, end);
        for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        int status = 0;
        const auto length = head.find("\ncontent-length:");
        if (std::sscanf(head.c_str(), "http/1.%*d %d", &status) != 1 ||
            length == std::string::npos) {
            return broken();
        }
        const std::size_t size = end + 4 + std::strtoull(head.c_str() + length + 16, nullptr, 10);
        while (in_.size() < size) {
            if (!more()) return broken();
        }
        body->assign(in_, end + 4, size - end - 4);
        in_.erase(0, size);
        if (head.find("\nconnection: close") != std::string::npos) close();
        return status;
    }

  private:
    bool more() {
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0 || in_.size() > (1u << 20)) return false;
        in_.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    int broken() {
        close();
        return 0;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        in_.clear();
    }

    const int port_;
    const int seconds_;
    int fd_ = -1;
    Clock::time_point openedAt_;
    std::string in_;  // read and not yet taken
};

// The status of the answer to GET /metrics on 127.0.0.1:PORT, the page in
// `text`; 0 when none came (each read waits at most 5 s).
int getMetrics(int port, std::string* text = nullptr) {
    HttpConnection c(port, 5);
    std::string page;
    const int status =
        c.exchange("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", &page);
    if (text) *text = page;
    return status;
}

// The number in the first group of `line` once the file `log` holds it (the
// port a program prints when it listens): 0 when it does not within
// `seconds`, or once `ended` is set and one more read did not find it.
int portIn(const std::string& log, const std::regex& line, double seconds,
           const std::atomic<bool>* ended = nullptr) {
    const auto t0 = Clock::now();
    for (bool last = false; !last && since(t0) < seconds;) {
        last = ended && *ended;
        const std::string text = slurp(log);
        std::smatch m;
        if (std::regex_search(text, m, line)) return std::stoi(m[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return 0;
}

// Statements run on a queue's database past the engine (one connection of
// their own): empty, else the database's error.
std::string runSql(const std::string& where, const std::string& script) {
    std::string why;
    if (zelvoqueue::isPostgresUri(where)) {
        PGconn* c = PQconnectdb(where.c_str());
        PQsetNoticeProcessor(
            c, [](void*, const char*) {}, nullptr);
        PGresult* r = PQstatus(c) == CONNECTION_OK ? PQexec(c, script.c_str()) : nullptr;
        if (PQresultStatus(r) != PGRES_COMMAND_OK) why = PQerrorMessage(c);
        PQclear(r);
        PQfinish(c);
    } else {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(where.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
            sqlite3_exec(db, script.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            why = sqlite3_errmsg(db);
        }
        sqlite3_close(db);
    }
    return why;
}

// A PostgreSQL URI naming the database `name` instead of its own.
std::string withDatabase(const std::string& uri, const std::string& name) {
    const auto host = uri.find("://") + 3;
    const auto options = std::min(uri.find('?', host), uri.size());
    return uri.substr(0, std::min(uri.find('/', host), options)) + "/" + name + uri.substr(options);
}

// A new empty PostgreSQL database `name` beside the one `uri` names (dropped
// first when there): its URI, or empty with the error in `why`.
std::string freshDatabase(const std::string& uri, const std::string& name, std::string* why) {
    *why = runSql(uri, "DROP DATABASE IF EXISTS " + name);
    if (why->empty()) *why = runSql(uri, "CREATE DATABASE " + name);
    return why->empty() ? withDatabase(uri, name) : "";
}

// The value under which the share `q` of `v` lies (for 0.5 the upper median).
double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0
                     : v[std::min(v.size() - 1,
                                  static_cast<std::size_t>(q * static_cast<double>(v.size())))];
}

double median(std::vector<double> v) {
    return quantile(std::move(v), 0.5);
}

std::string figure(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Rows of figures under a title: printed aligned, and again as markdown.
struct Table {
    std::string title;
    std::vector<std::string> head;  // the rows' names' header, then the figures'
    std::vector<std::vector<std::string>> rows;

    void print() const {
        std::printf("\n%s\n", title.c_str());
        for (const auto* r : rowsWithHead()) {
            std::printf("%-44s", r->front().c_str());
            for (std::size_t i = 1; i < r->size(); ++i) std::printf(" %12s", (*r)[i].c_str());
            std::printf("\n");
        }
    }
    void markdown() const {
        std::printf("\n");
        for (const auto* r : rowsWithHead()) {
            for (const auto& cell : *r) std::printf("| %s ", cell.c_str());
            std::printf("|\n");
            if (r == &head) {
                std::printf("|---");
                for (std::size_t i = 1; i < head.size(); ++i) std::printf("|---:");
                std::printf("|\n");
            }
        }
    }

  private:
    std::vector<const std::vector<std::string>*> rowsWithHead() const {
        std::vector<const std::vector<std::string>*> all{&head};
        for (const auto& r : rows) all.push_back(&r);
        return all;
    }
};

struct Options {
    int messages = 10000;
    std::string pg;
    std::string dir = "queue-bench";
    std::string csv;
    bool markdown = false;
    std::vector<int> storm;
    int stormRuns = 1;
    int checkMessages = 100000;
    int http = 0;
    std::string queue = ZELVO_QUEUE_BIN;
    std::string gateway = ZELVO_GATEWAY_BIN;
};

class Bench {
  public:
    explicit Bench(const Options& o) : o_(o) {
        ::mkdir(o.dir.c_str(), 0755);
        const std::string log = o.dir + "/gateway.log";
        ::unlink(log.c_str());
        ::unlink((o.dir + "/outbox.jsonl").c_str());
        gateway_ =
            start({o.gateway, "--listen", "127.0.0.1:0", "--outbox", o.dir + "/outbox.jsonl"}, log);
        port_ = portIn(log, std::regex("listening on 127\\.0\\.0\\.1:(\\d+)"), 5);
        if (port_ == 0) {
            std::fprintf(stderr, "queue bench: the simulator did not start (%s)\n", log.c_str());
            std::exit(2);
        }
        spit(o.dir + "/key", "geheim\n", 0600);
        spit(o.dir + "/queue.conf",
             "[gateway]\nhost = 127.0.0.1\nport = " + std::to_string(port_) +
                 "\ntimeout = 10\n[account]\nkdnr = 12345\nfirma = 1\nuser = tst\nkey-file = " +
                 o.dir + "/key\n[limits]\nper-second = 0\nper-recipient-per-minute = 0\n",
             0644);
    }
    ~Bench() {
        ::kill(gateway_, SIGTERM);
        finish(gateway_);
    }

    // Messages per second of a plain loop of sends in `threads` threads.
    double bare(int threads) {
        std::atomic<int> next{0}, bad{0};
        const auto t0 = Clock::now();
        std::vector<std::thread> ts;
        for (int i = 0; i < threads; ++i) {
            ts.emplace_back([&] {
                char answer[128];
                while (next++ < o_.messages) {
                    zelvonet::Message m;
                    m.kdnr = "12345";
                    m.firma = 1;
                    m.user = "tst";
                    m.key = "geheim";
                    m.msg = "bench";
                    m.receiver = "01711234567";
                    const auto r =
                        zelvonet::send(m, {"127.0.0.1", port_, "/ZelvoServlet"},
                                       zelvonet::kDefaultTimeouts, answer, sizeof answer);
                    if (r.outcome != zelvonet::Outcome::Accepted) ++bad;
                }
            });
        }
        for (auto& t : ts) t.join();
        const double s = since(t0);
        if (bad > 0) fail(std::to_string(bad.load()) + " bare sends not accepted");
        return o_.messages / s;
    }

    // Fills the queue with the messages "TAG 0", "TAG 1" ... "TAG count-1",
    // a transaction per 1,000, each with its token as `add` gives it.
    void fill(const std::string& db, const std::string& tag, int count) {
        auto store = zelvoqueue::openStore(db);
        std::vector<zelvoqueue::NewMessage> batch;
        for (int i = 0; i < count; ++i) {
            zelvoqueue::NewMessage m;
            m.receiver = "01711234567";
            m.body = tag + " " + std::to_string(i);
            m.token = zelvoqueue::newToken();
            batch.push_back(m);
            if (batch.size() == 1000 || i + 1 == count) {
                store->add(batch);
                batch.clear();
            }
        }
    }

    // The outbox holds each message "TAG i" (i < count) exactly once: empty,
    // else what is wrong.
    std::string outboxCheck(const std::string& tag, int count) const {
        std::ifstream in(o_.dir + "/outbox.jsonl");
        const std::string mark = "\"msg\":\"" + tag + " ";
        std::set<std::string> seen;
        int lines = 0;
        for (std::string line; std::getline(in, line);) {
            const auto at = line.find(mark);
            if (at == std::string::npos) continue;
            ++lines;
            seen.insert(line.substr(at, line.find('"', at + 7) - at));
        }
        if (lines == count && static_cast<int>(seen.size()) == count) return "";
        return tag + ": " + std::to_string(lines) + " outbox lines, " +
               std::to_string(seen.size()) + " distinct messages, of " + std::to_string(count);
    }
    void witness(const std::string& tag) {
        const std::string wrong = outboxCheck(tag, o_.messages);
        if (!wrong.empty()) fail(wrong);
    }

    struct Scrapes {
        int ok = 0;      // answered 200
        int failed = 0;  // answered otherwise, or not while the runner went on
    };

    // Messages per second of `runners` processes with `workers` each; the
    // messages "TAG i" must each reach the outbox once. With `scrapes`, a
    // runner serves /metrics on a free port, fetched meanwhile.
    double drain(const std::string& db, const std::string& tag, int runners, int workers,
                 Scrapes* scrapes = nullptr) {
        fill(db, tag, o_.messages);
        const long long before = zelvoqueue::openStore(db)->stats().at(zelvoqueue::State::Accepted);
        std::vector<std::string> args{o_.queue, "--db", db, "--config", o_.dir + "/queue.conf"};
        args.insert(args.end(), {"run", "--once", "--workers", std::to_string(workers)});
        std::string log = o_.dir + "/runner.log";
        if (scrapes) {
            args.insert(args.end(), {"--metrics", "127.0.0.1:0"});
            log = o_.dir + "/metrics-runner.log";
            ::unlink(log.c_str());
        }
        const auto t0 = Clock::now();
        std::vector<pid_t> pids;
        for (int i = 0; i < runners; ++i) pids.push_back(start(args, log));
        std::atomic<bool> ended{false};
        std::thread scraper;
        if (scrapes) scraper = std::thread([&] { scrape(log, ended, *scrapes); });
        bool ran = true;
        for (pid_t p : pids) ran = finish(p) == 0 && ran;
        const double s = since(t0);
        ended = true;
        if (scraper.joinable()) scraper.join();
        if (!ran) fail("a runner failed (see " + log + ")");
        const auto counts = zelvoqueue::openStore(db)->stats();
        const long long accepted = counts.at(zelvoqueue::State::Accepted) - before;
        if (accepted != o_.messages || counts.at(zelvoqueue::State::Queued) != 0) {
            fail(std::to_string(accepted) + " of " + std::to_string(o_.messages) + " accepted in " +
                 db);
        }
        witness(tag);
        return o_.messages / s;
    }

    // GETs the runner's /metrics, its port read from the line the runner
    // writes to `log` first: at once, then once a second until `ended`. A
    // fetch without an answer is not counted when the runner ends within 2 s
    // of it: it went while the runner stopped.
    static void scrape(const std::string& log, const std::atomic<bool>& ended, Scrapes& r) {
        const auto t0 = Clock::now();
        const int port =
            portIn(log, std::regex("metrics on http://127\\.0\\.0\\.1:(\\d+)/metrics"), 30, &ended);
        if (port == 0) {
            ++r.failed;
            return;
        }
        for (auto next = Clock::now(); !ended && since(t0) < 3600;
             next += std::chrono::seconds(1)) {
            if (getMetrics(port) == 200) {
                ++r.ok;
            } else {
                const auto missed = Clock::now();
                while (!ended && since(missed) < 2) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                if (!ended) ++r.failed;
            }
            while (!ended && Clock::now() < next + std::chrono::seconds(1)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }

    struct Beat {
        double first, second;  // ms: the first claim of a fresh Store, the second at once
        double late, later;    // ms: 1 s after the first (the sweep), 5 s after (the beat too)
    };

    // One claimAll() with nothing to take, timed on `repeats` fresh Store
    // objects per database, the medians per database. The first call beats,
    // sweeps for dead runners and prepares their statements; the second, at
    // once, does neither; the third, 1 s on, sweeps; the fourth, 5 s on,
    // sweeps and beats with its statements prepared.
    std::vector<Beat> heartbeat(const std::vector<std::string>& wheres, int repeats) {
        const zelvoqueue::ClaimRules rules;
        const std::vector<zelvoqueue::ClaimRequest> nothing{{nullptr, false}};
        struct Fresh {
            std::unique_ptr<zelvoqueue::Store> store;
            Clock::time_point first;
            std::vector<double> ms;
        };
        const auto claim = [&](Fresh& f) {
            const auto t0 = Clock::now();
            f.store->claimAll("bench:1", rules, nothing, {});
            f.ms.push_back(since(t0) * 1000);
        };
        std::vector<Fresh> all;
        for (const auto& where : wheres) {
            for (int i = 0; i < repeats; ++i) {
                Fresh f{zelvoqueue::openStore(where), {}, {}};
                f.store->health();  // connected, the schema read, the clock's statement prepared
                claim(f);
                f.first = Clock::now();
                claim(f);
                all.push_back(std::move(f));
            }
        }
        for (const auto after :
             {std::chrono::milliseconds(1050), std::chrono::milliseconds(5050)}) {
            for (Fresh& f : all) {
                std::this_thread::sleep_until(f.first + after);
                claim(f);
            }
        }
        std::vector<Beat> out;
        for (std::size_t w = 0; w < wheres.size(); ++w) {
            std::array<std::vector<double>, 4> calls;
            for (std::size_t i = 0; i < static_cast<std::size_t>(repeats); ++i) {
                for (std::size_t k = 0; k < calls.size(); ++k) {
                    calls[k].push_back(all[w * static_cast<std::size_t>(repeats) + i].ms[k]);
                }
            }
            out.push_back({median(calls[0]), median(calls[1]), median(calls[2]), median(calls[3])});
        }
        return out;
    }

    // A queue of `count` messages in `db` as a busy one looks: 90 % accepted,
    // each with its ended attempt, 10 % queued and due, and a runner's fresh
    // heartbeat. The seconds it took.
    double busyQueue(const std::string& db, int count) {
        const auto t0 = Clock::now();
        fill(db, "busy", count);
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        const std::string why = runSql(
            db,
            "BEGIN;"
            "UPDATE zelvo_messages SET state = 'accepted', attempts = 1, answer = '100' "
            "WHERE id % 10 <> 0;"
            "INSERT INTO zelvo_attempts (message_id, number, runner, started, ended, outcome, "
            "answer, error) SELECT id, 1, 'bench:1', created, created + 0.1, 'accepted', '100', "
            "'' FROM zelvo_messages WHERE state = 'accepted';"
            "INSERT INTO zelvo_runners (runner, beat) VALUES ('bench:1', " +
                figure("%.3f", now) + ");COMMIT;");
        if (!why.empty()) fail(db + ": " + why);
        return since(t0);
    }

    struct Timed {
        double best = 0, median = 0;  // ms
        int status = 0;               // the highest exit status of the runs
        std::string line;             // the first line the last run printed
    };

    // `zelvo-queue --db DB COMMAND` run `runs` times, each timed from its
    // start to its exit.
    Timed timeCommand(const std::string& db, const std::string& command, int runs) {
        const std::string out = o_.dir + "/" + command + ".out";
        Timed t;
        std::vector<double> ms;
        for (int i = 0; i < runs; ++i) {
            ::unlink(out.c_str());
            const auto t0 = Clock::now();
            t.status = std::max(t.status, finish(start({o_.queue, "--db", db, command}, out)));
            ms.push_back(since(t0) * 1000);
        }
        t.best = *std::min_element(ms.begin(), ms.end());
        t.median = median(ms);
        std::istringstream text(slurp(out));
        std::getline(text, t.line);
        return t;
    }

    // Milliseconds per committed add: in-process and as a process.
    std::pair<double, double> addCost(const std::string& db, int count) {
        auto store = zelvoqueue::openStore(db);
        zelvoqueue::NewMessage m;
        m.receiver = "01711234567";
        m.body = "bench";
        auto t0 = Clock::now();
        for (int i = 0; i < count; ++i) store->add({m});
        const double inProcess = since(t0) * 1000 / count;
        t0 = Clock::now();
        for (int i = 0; i < count / 4; ++i) {
            if (finish(start({o_.queue, "--db", db, "add", "--to", "01711234567", "bench"},
                             "/dev/null")) != 0) {
                fail("zelvo-queue add failed");
            }
        }
        return {inProcess, since(t0) * 1000 / (count / 4)};
    }

    // Milliseconds per append forced to the disk (write, then fsync), in the
    // directory of the queue's files.
    double fsyncMs(int count) {
        const std::string path = o_.dir + "/fsync.bin";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (fd < 0) fail("cannot write " + path + ": " + std::strerror(errno));
        const std::string record(100, 'x');
        const auto t0 = Clock::now();
        for (int i = 0; i < count; ++i) {
            if (::write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()) ||
                ::fsync(fd) != 0) {
                fail("cannot write " + path + ": " + std::strerror(errno));
            }
        }
        const double ms = since(t0) * 1000 / count;
        ::close(fd);
        ::unlink(path.c_str());
        return ms;
    }

    struct Storm {
        double allStored = 0;  // seconds from the first release to the last exit
        double slowest = 0;    // seconds of the slowest add, release to exit
        int failed = 0;        // adds that exited non-zero
        std::string wrong;     // empty: each message sent exactly once
    };

    // `n` zelvo-queue add processes released at once into `db`, while one
    // runner with 4 workers sends; the message "TAG i" of each add that
    // succeeded must reach the outbox once, that of an add that failed never.
    Storm storm(const std::string& db, const std::string& tag, int n) {
        Storm r;
        auto store = zelvoqueue::openStore(db);
        const long long before = store->stats().at(zelvoqueue::State::Accepted);
        const std::string log = o_.dir + "/storm.log";
        const pid_t runner = start(
            {o_.queue, "--db", db, "--config", o_.dir + "/queue.conf", "run", "--workers", "4"},
            o_.dir + "/storm-runner.log");
        // Every add in one process group of its own, to be waited for (and
        // killed, past the time limit) together.
        std::vector<int> pipes;
        std::vector<pid_t> pids;
        pid_t group = 0;
        const std::vector<std::string> args{o_.queue, "--db", db, "add", "--to", "01711234567"};
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (int i = 0; i < n; ++i) {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                if (group > 0) ::kill(-group, SIGKILL);
                fail(std::string("storm: no pipe: ") + std::strerror(errno));
            }
            posix_spawn_file_actions_t fa;
            posix_spawn_file_actions_init(&fa);
            posix_spawn_file_actions_adddup2(&fa, fds[0], 0);
            posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                             0644);
            posix_spawn_file_actions_adddup2(&fa, 1, 2);
            posix_spawnattr_t attr;
            posix_spawnattr_init(&attr);
            posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
            posix_spawnattr_setpgroup(&attr, group);
            pid_t pid = -1;
            const int rc = posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ);
            posix_spawn_file_actions_destroy(&fa);
            posix_spawnattr_destroy(&attr);
            ::close(fds[0]);
            if (rc != 0) {
                if (group > 0) ::kill(-group, SIGKILL);
                fail(std::string("storm: cannot start an add: ") + std::strerror(rc));
            }
            if (group == 0) group = pid;
            pids.push_back(pid);
            pipes.push_back(fds[1]);
        }
        // Until each add waits in its read of standard input (at most 60 s).
        const auto ready = Clock::now();
        for (pid_t pid : pids) {
            const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
            while (since(ready) < 60) {
                std::ifstream in(path);
                std::string number, fd;
                if (!(in >> number >> fd) || (number == "0" && fd == "0x0")) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        std::map<pid_t, int> index;
        for (int i = 0; i < n; ++i) index[pids[static_cast<std::size_t>(i)]] = i;
        std::vector<Clock::time_point> released(static_cast<std::size_t>(n)),
            ended(static_cast<std::size_t>(n));
        std::vector<int> status(static_cast<std::size_t>(n), -1);
        std::atomic<int> reaped{0};
        std::thread reaper([&] {
            for (int k = 0; k < n; ++k) {
                int st = 0;
                const pid_t pid = ::waitpid(-group, &st, 0);
                if (pid < 0 && errno == EINTR) {
                    --k;
                    continue;
                }
                if (pid < 0) break;
                const auto at = Clock::now();
                const auto i = static_cast<std::size_t>(index.at(pid));
                ended[i] = at;
                status[i] = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                ++reaped;
            }
        });
        // The release: a message into each pipe, and the pipe closed.
        ::signal(SIGPIPE, SIG_IGN);
        const auto t0 = Clock::now();
        for (int i = 0; i < n; ++i) {
            const std::string text = tag + " " + std::to_string(i) + "\n";
            released[static_cast<std::size_t>(i)] = Clock::now();
            if (::write(pipes[static_cast<std::size_t>(i)], text.data(), text.size()) < 0) {
            }
            ::close(pipes[static_cast<std::size_t>(i)]);
        }
        ::signal(SIGPIPE, SIG_DFL);
        // Each add gives up after its --wait of 20 s; a minute more, then
        // the group is killed.
        while (reaped < n && since(t0) < 80) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (reaped < n) ::kill(-group, SIGKILL);
        reaper.join();
        int stored = 0;
        for (int i = 0; i < n; ++i) {
            const auto k = static_cast<std::size_t>(i);
            if (status[k] != 0) {
                ++r.failed;
                continue;
            }
            ++stored;
            r.slowest =
                std::max(r.slowest, std::chrono::duration<double>(ended[k] - released[k]).count());
            r.allStored =
                std::max(r.allStored, std::chrono::duration<double>(ended[k] - t0).count());
        }
        // Then until the runner has sent them all (bounded), and it stops.
        const auto sent = Clock::now();
        while (store->stats().at(zelvoqueue::State::Accepted) - before < stored &&
               since(sent) < 60 + n / 20.0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(runner, SIGTERM);
        if (finish(runner) != 0) {
            r.wrong = "the runner failed (see " + o_.dir + "/storm-runner.log)";
            return r;
        }
        // Each stored message in the outbox once, none of the others.
        std::vector<int> seen(static_cast<std::size_t>(n), 0);
        std::ifstream in(o_.dir + "/outbox.jsonl");
        const std::string mark = "\"msg\":\"" + tag + " ";
        for (std::string line; std::getline(in, line);) {
            const auto at = line.find(mark);
            if (at == std::string::npos) continue;
            const int i = std::atoi(line.c_str() + at + mark.size());
            if (i >= 0 && i < n) ++seen[static_cast<std::size_t>(i)];
        }
        int twice = 0, lost = 0, stray = 0;
        for (std::size_t i = 0; i < seen.size(); ++i) {
            if (status[i] != 0) {
                stray += seen[i];
            } else if (seen[i] == 0) {
                ++lost;
            } else if (seen[i] > 1) {
                ++twice;
            }
        }
        if (twice + lost + stray > 0) {
            r.wrong = tag + ": " + std::to_string(lost) + " stored but not sent, " +
                      std::to_string(twice) + " sent more than once, " + std::to_string(stray) +
                      " sent though their add failed";
        }
        return r;
    }

    struct Http {
        double seconds = 0;      // from the clients' release to the last answer
        std::vector<double> ms;  // each submission's, from its request to its whole answer
        long long commits = 0;   // zelvo_queue_serve_commits_total
        int reopened = 0;        // connections opened beyond one per client
        std::string wrong;       // empty: each answered 201 and stored once
    };

    // `n` submissions "TAG i" to zelvo-queue serve on `db`, an empty queue,
    // from kHttpClients threads, each with one keep-alive connection of its
    // own, opened before the clients are released together; each must be
    // answered 201 with an id no other got, and be in the database once,
    // under that id, beside nothing else.
    Http http(const std::string& db, const std::string& tag, int n) {
        Http r;
        const std::string conf = o_.dir + "/serve.conf", tokens = o_.dir + "/serve.tokens",
                          out = o_.dir + "/serve-token.out", log = o_.dir + "/serve.log";
        spit(conf,
             slurp(o_.dir + "/queue.conf") +
                 "[serve]\nmetrics = yes\nper-token-per-second = 1000000\n",
             0644);
        for (const auto& file : {tokens, out, log}) ::unlink(file.c_str());
        if (finish(start({o_.queue, "token", "--tokens", tokens, "add", "bench", "--scope", "send"},
                         out)) != 0) {
            fail("cannot make a token (see " + out + ")");
        }
        std::string token;
        std::istringstream(slurp(out)) >> token;
        const pid_t server = start({o_.queue, "--db", db, "--config", conf, "serve", "--tokens",
                                    tokens, "--listen", "127.0.0.1:0"},
                                   log);
        const int port = portIn(log, std::regex("serving http://127\\.0\\.0\\.1:(\\d+)/"), 30);
        if (port == 0) {
            ::kill(server, SIGTERM);
            finish(server);
            fail("zelvo-queue serve did not start (see " + log + ")");
        }
        const auto size = static_cast<std::size_t>(n);
        std::vector<long long> ids(size, 0);
        std::vector<int> status(size, 0);
        r.ms.assign(size, 0);
        std::atomic<int> next{0}, connected{0}, opened{0};
        std::atomic<bool> go{false};
        Clock::time_point t0;
        std::vector<std::thread> clients;
        for (int k = 0; k < kHttpClients; ++k) {
            clients.emplace_back([&] {
                HttpConnection c(port, 30);
                c.open();
                ++connected;
                while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                std::string answer;
                for (int i; (i = next++) < n && since(t0) < 120 + n / 20.0;) {
                    const auto at = static_cast<std::size_t>(i);
                    const std::string body = "{\"to\": \"0171123456\", \"text\": \"" + tag + " " +
                                             std::to_string(i) + "\"}";
                    const std::string request =
                        "POST /v1/messages HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                        token + "\r\nContent-Type: application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body;
                    const auto sent = Clock::now();
                    status[at] = c.exchange(request, &answer);
                    r.ms[at] = since(sent) * 1000;
                    const auto id = answer.find("\"id\":");
                    if (status[at] == 201 && id != std::string::npos) {
                        ids[at] = std::atoll(answer.c_str() + id + 5);
                    }
                }
                opened += c.opened - 1;
            });
        }
        for (const auto waited = Clock::now(); connected < kHttpClients && since(waited) < 30;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        t0 = Clock::now();
        go = true;
        for (auto& t : clients) t.join();
        r.seconds = since(t0);
        r.reopened = opened;
        std::string page;
        const int metrics = getMetrics(port, &page);
        const auto commits = page.find("\nzelvo_queue_serve_commits_total ");
        if (commits != std::string::npos) r.commits = std::atoll(page.c_str() + commits + 33);
        ::kill(server, SIGTERM);
        const int exit = finish(server);

        // Each answered with an id of its own; each in the database once, under that id.
        std::map<long long, int> byId;
        int unanswered = 0;
        for (std::size_t i = 0; i < size; ++i) {
            if (status[i] == 201) {
                byId.emplace(ids[i], static_cast<int>(i));
            } else {
                ++unanswered;
            }
        }
        std::vector<int> stored(size, 0);
        int stray = 0;
        const std::string mark = tag + " ";
        for (const auto& m : zelvoqueue::openStore(db)->list(std::nullopt)) {
            const int i = m.body.compare(0, mark.size(), mark) == 0
                              ? std::atoi(m.body.c_str() + mark.size())
                              : -1;
            const auto found = byId.find(m.id);
            if (i < 0 || i >= n || found == byId.end() || found->second != i) {
                ++stray;
            } else {
                ++stored[static_cast<std::size_t>(i)];
            }
        }
        const auto once = std::count(stored.begin(), stored.end(), 1);
        if (unanswered > 0 || static_cast<int>(byId.size()) + unanswered != n || stray > 0 ||
            once != n || metrics != 200 || exit != 0) {
            r.wrong = tag + ": " + std::to_string(unanswered) + " not answered 201, " +
                      std::to_string(n - unanswered - static_cast<int>(byId.size())) +
                      " ids given twice, " + std::to_string(n - once) + " not stored once, " +
                      std::to_string(stray) + " other messages in the database; /metrics " +
                      std::to_string(metrics) + ", serve exited " + std::to_string(exit) +
                      " (see " + log + ")";
        }
        return r;
    }

    std::string sqlite(const std::string& name) {
        const std::string db = o_.dir + "/" + name + ".db";
        for (const char* suffix : {"", "-wal", "-shm", "-runner.lock", "-writers.lock"}) {
            ::unlink((db + suffix).c_str());
        }
        return db;
    }

    [[noreturn]] static void fail(const std::string& why) {
        std::fprintf(stderr, "queue bench: %s\n", why.c_str());
        std::exit(1);
    }

  private:
    const Options& o_;
    pid_t gateway_ = -1;
    int port_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--messages") {
            o.messages = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--pg") {
            o.pg = value();
        } else if (a == "--dir") {
            o.dir = value();
        } else if (a == "--csv") {
            o.csv = value();
        } else if (a == "--markdown") {
            o.markdown = true;
        } else if (a == "--storm") {
            std::istringstream list(value());
            for (std::string size; std::getline(list, size, ',');) {
                if (std::atoi(size.c_str()) > 0) o.storm.push_back(std::atoi(size.c_str()));
            }
        } else if (a == "--storm-runs") {
            o.stormRuns = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--check-messages") {
            o.checkMessages = std::max(10, std::atoi(value().c_str()));
        } else if (a == "--http") {
            o.http = std::max(0, std::atoi(value().c_str()));
        } else {
            std::fprintf(stderr,
                         "usage: zelvo_queue_bench [--messages N] [--pg URI] [--dir DIR] "
                         "[--csv FILE] [--markdown] [--storm N,N,...] [--storm-runs R] "
                         "[--check-messages M] [--http N]\n");
            return 64;
        }
    }
    Bench b(o);
    const int n = o.messages;
    std::printf("queue bench: %d messages per figure, through zelvo-gateway on loopback\n", n);

    const double bare1 = b.bare(1), bare4 = b.bare(4);
    const double q1 = b.drain(b.sqlite("w1"), "sqlite-w1", 1, 1);
    const double q4 = b.drain(b.sqlite("w4"), "sqlite-w4", 1, 4);
    const auto [addMs, addProcessMs] = b.addCost(b.sqlite("add"), 200);

    const double syncMs = b.fsyncMs(std::min(1000, std::max(200, n)));
    // One worker's floor: a send and one forced write per message.
    const double floor1 = 1000 / (1000 / bare1 + syncMs);

    std::printf("\n%-44s %12s %10s %10s\n", "", "messages/s", "of bare", "of floor");
    std::printf("%-44s %12.0f %10.3f\n", "bare loop of sends, 1 thread", bare1, 1.0);
    std::printf("%-44s %12.0f %10.3f\n", "bare loop of sends, 4 threads", bare4, bare4 / bare1);
    std::printf("%-44s %12.0f %10.3f %10.3f\n", "floor: a send and an fsync, 1 thread", floor1,
                floor1 / bare1, 1.0);
    std::printf("%-44s %12.0f %10.3f %10.3f\n", "zelvo-queue run, SQLite, 1 worker", q1, q1 / bare1,
                q1 / floor1);
    std::printf("%-44s %12.0f %10.3f            (%.3f of 4 threads)\n",
                "zelvo-queue run, SQLite, 4 workers", q4, q4 / bare1, q4 / bare4);
    std::printf(
        "\nper message: send %.3f ms, fsync'ed append %.3f ms; queue, 1 worker %.3f ms "
        "(%.3f ms beyond the floor)\n",
        1000 / bare1, syncMs, 1000 / q1, 1000 / q1 - 1000 / floor1);
    std::printf("one add, committed: %.2f ms in the process, %.2f ms as a zelvo-queue process\n",
                addMs, addProcessMs);

    // The storms: per engine and size, the worst of the runs.
    struct StormRow {
        std::string engine;
        int n;
        Bench::Storm worst;
        bool once = true;
    };
    std::vector<StormRow> storms;
    std::string stormWrong;
    if (!o.storm.empty()) {
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        const auto need =
            static_cast<rlim_t>(*std::max_element(o.storm.begin(), o.storm.end()) + 256);
        if (files.rlim_cur < need) {
            files.rlim_cur = std::min(need, files.rlim_max);
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
    }
    for (const std::string engine : {"SQLite", "PostgreSQL"}) {
        if (engine == "PostgreSQL" && o.pg.empty()) continue;
        for (int size : o.storm) {
            StormRow row{engine, size, {}, true};
            for (int run = 1; run <= o.stormRuns; ++run) {
                const std::string tag =
                    "storm-" + engine + "-" + std::to_string(size) + "-" + std::to_string(run);
                const Bench::Storm s =
                    b.storm(engine == "SQLite" ? b.sqlite("storm") : o.pg, tag, size);
                row.worst.allStored = std::max(row.worst.allStored, s.allStored);
                row.worst.slowest = std::max(row.worst.slowest, s.slowest);
                row.worst.failed += s.failed;
                if (!s.wrong.empty()) {
                    row.once = false;
                    if (stormWrong.empty()) stormWrong = s.wrong;
                }
            }
            storms.push_back(row);
        }
    }
    if (!storms.empty()) {
        std::printf(
            "\nstorm: N adds at once, a runner with 4 workers sending; the worst of %d "
            "run(s)\n%-12s %6s %12s %12s %10s %10s %12s\n",
            o.stormRuns, "engine", "adds", "all stored", "slowest add", "adds/s", "non-zero",
            "sent once");
        for (const auto& r : storms) {
            std::printf("%-12s %6d %10.2f s %10.2f s %10.0f %10d %12s\n", r.engine.c_str(), r.n,
                        r.worst.allStored, r.worst.slowest, r.n / r.worst.allStored, r.worst.failed,
                        r.once ? "yes" : "NO");
        }
    }

    std::vector<std::pair<std::string, std::string>> engines{{"SQLite", ""}};
    if (!o.pg.empty()) engines.emplace_back("PostgreSQL", o.pg);
    const auto at = [&](const std::string& uri, const std::string& file) {
        return uri.empty() ? b.sqlite(file) : uri;
    };

    // Submissions over HTTP, beside the largest storm of add processes; on
    // PostgreSQL in a database of its own, since the drains would send them.
    Table http{"http: " + std::to_string(o.http) + " submissions to zelvo-queue serve, " +
                   std::to_string(kHttpClients) +
                   " keep-alive clients; beside the "
                   "largest storm's adds/s",
               {"engine", "requests/s", "median", "99th pct", "commits", "per commit",
                "storm adds/s", "http/storm"},
               {}};
    std::string httpWrong;
    for (const auto& [engine, uri] : engines) {
        if (o.http == 0) break;
        std::string why;
        const std::string db =
            uri.empty() ? b.sqlite("http") : freshDatabase(uri, "zelvo_bench_http", &why);
        if (db.empty()) {
            std::printf("\nhttp on %s left out: no database of its own: %s", engine.c_str(),
                        why.c_str());
            continue;
        }
        const Bench::Http h = b.http(db, "http-" + engine, o.http);
        if (!uri.empty()) runSql(uri, "DROP DATABASE IF EXISTS zelvo_bench_http");
        if (httpWrong.empty()) httpWrong = h.wrong;
        const double rate = o.http / h.seconds;
        const StormRow* storm = nullptr;
        for (const auto& r : storms) {
            if (r.engine == engine && (!storm || r.n > storm->n)) storm = &r;
        }
        const double adds = storm ? storm->n / storm->worst.allStored : 0;
        http.rows.push_back(
            {engine + (h.reopened ? " (" + std::to_string(h.reopened) + " reconnects)" : ""),
             figure("%.0f", rate), figure("%.1f ms", median(h.ms)),
             figure("%.1f ms", quantile(h.ms, 0.99)), std::to_string(h.commits),
             figure("%.1f", h.commits ? o.http / static_cast<double>(h.commits) : 0),
             storm ? figure("%.0f", adds) + " (" + std::to_string(storm->n) + ")" : "-",
             storm ? figure("%.1f", rate / adds) : "-"});
    }
    if (o.http > 0) http.print();

    std::vector<std::pair<int, double>> scaling;
    if (!o.pg.empty()) {
        for (int runners : {1, 2, 4}) {
            scaling.emplace_back(runners,
                                 b.drain(o.pg, "pg-r" + std::to_string(runners), runners, 4));
        }
        std::printf("\n%-44s %12s %10s\n", "4 workers per runner", "messages/s", "of SQLite");
        std::printf("%-44s %12.0f %10.3f\n", "SQLite, 1 runner", q4, 1.0);
        for (const auto& [runners, rate] : scaling) {
            std::printf("PostgreSQL, %d runner(s)%*s %12.0f %10.3f\n", runners, 21, "", rate,
                        rate / q4);
        }
    }

    // Watching the queue: /metrics served and fetched, the heartbeat, check.
    Table watch{
        "watch: zelvo-queue run --once --workers 4; with --metrics, /metrics fetched "
        "once a second",
        {std::to_string(n) + " messages", "messages/s", "of without", "scrapes"},
        {}};
    int badScrapes = 0;
    for (const auto& [engine, uri] : engines) {
        const double plain = b.drain(at(uri, "watch"), "watch-" + engine, 1, 4);
        Bench::Scrapes scrapes;
        const double served =
            b.drain(at(uri, "watch-metrics"), "watch-metrics-" + engine, 1, 4, &scrapes);
        badScrapes += scrapes.failed;
        watch.rows.push_back({engine + ", without --metrics", figure("%.0f", plain), "1.000", ""});
        watch.rows.push_back(
            {engine + ", --metrics, scraped", figure("%.0f", served),
             figure("%.3f", served / plain),
             std::to_string(scrapes.ok) +
                 (scrapes.failed ? ", " + std::to_string(scrapes.failed) + " bad" : "")});
    }
    watch.print();

    std::vector<std::string> beatAt;
    for (const auto& e : engines) beatAt.push_back(at(e.second, "beat"));
    const auto beats = b.heartbeat(beatAt, 20);
    Table beat{
        "heartbeat: one claimAll() with nothing to take, median of 20 fresh Store "
        "objects; the beat's share at one per " +
            figure("%.0f", zelvoqueue::kHeartbeatSeconds) + " s",
        {"claimAll()", "with beat", "without", "the beat", "share"},
        {}};
    for (std::size_t i = 0; i < engines.size(); ++i) {
        const auto row = [&](const std::string& name, double with, double without) {
            beat.rows.push_back(
                {engines[i].first + ", " + name, figure("%.3f ms", with),
                 figure("%.3f ms", without), figure("%.3f ms", with - without),
                 figure("%.4f %%", (with - without) / (zelvoqueue::kHeartbeatSeconds * 10))});
        };
        row("1st call vs the 2nd", beats[i].first, beats[i].second);
        row("5 s on vs 1 s on (both sweep)", beats[i].later, beats[i].late);
    }
    beat.print();

    // On PostgreSQL in a database of its own: the one --pg names holds the
    // drains' messages.
    const int big = o.checkMessages;
    if (!o.pg.empty()) {
        std::string why;
        engines.back().second = freshDatabase(o.pg, "zelvo_bench_check", &why);
        if (!why.empty()) {
            std::printf("\ncheck on PostgreSQL left out: no database of its own: %s", why.c_str());
            engines.pop_back();
        }
    }
    Table check{"check: `zelvo-queue --db DB check` and `metrics`, 5 processes each, on " +
                    std::to_string(big) +
                    " messages (90 % accepted with an attempt, 10 % due, a fresh heartbeat)",
                {"process, " + std::to_string(big) + " messages", "best", "median", "exit"},
                {}};
    std::vector<std::string> built;
    std::string unread;
    for (const auto& [engine, uri] : engines) {
        const std::string db = at(uri, "check");
        const double seconds = b.busyQueue(db, big);
        for (const std::string command : {"check", "metrics"}) {
            const Bench::Timed t = b.timeCommand(db, command, 5);
            check.rows.push_back({engine + ", " + command, figure("%.1f ms", t.best),
                                  figure("%.1f ms", t.median), std::to_string(t.status)});
            // The plugin's 1 and 2 are verdicts; 3 is a queue it could not read.
            if (t.status > (command == "check" ? 2 : 0) && unread.empty()) {
                unread =
                    engine + " " + command + " exited " + std::to_string(t.status) + ": " + t.line;
            }
            if (command == "check") {
                built.push_back(engine + ": built in " + figure("%.1f s", seconds) + "; " +
                                t.line.substr(0, t.line.find(" |")));
            }
        }
    }
    if (!o.pg.empty() && engines.size() == 2) {
        runSql(o.pg, "DROP DATABASE IF EXISTS zelvo_bench_check");
    }
    check.print();
    for (const auto& line : built) std::printf("%s\n", line.c_str());

    if (o.markdown) {
        std::printf("\n| sender | messages/s | of the bare loop, 1 thread |\n|---|---:|---:|\n");
        std::printf("| bare loop of sends, 1 thread | %.0f | 1.000 |\n", bare1);
        std::printf("| bare loop of sends, 4 threads | %.0f | %.3f |\n", bare4, bare4 / bare1);
        std::printf("| zelvo-queue run, SQLite, 1 worker | %.0f | %.3f |\n", q1, q1 / bare1);
        std::printf("| zelvo-queue run, SQLite, 4 workers | %.0f | %.3f |\n", q4, q4 / bare1);
        for (const auto& [runners, rate] : scaling) {
            std::printf("| zelvo-queue run, PostgreSQL, %d runner(s) × 4 workers | %.0f | %.3f |\n",
                        runners, rate, rate / bare1);
        }
        if (!storms.empty()) {
            std::printf(
                "\n| storm | all stored | slowest add | adds/s | non-zero exits | sent "
                "once |\n|---|---:|---:|---:|---:|---|\n");
            for (const auto& r : storms) {
                std::printf("| %s, %d adds | %.2f s | %.2f s | %.0f | %d | %s |\n",
                            r.engine.c_str(), r.n, r.worst.allStored, r.worst.slowest,
                            r.n / r.worst.allStored, r.worst.failed, r.once ? "yes" : "no");
            }
        }
        if (o.http > 0) http.markdown();
        for (const Table* t : {&watch, &beat, &check}) t->markdown();
    }
    if (!o.csv.empty()) {
        std::ofstream csv(o.csv);
        csv << "engine,runners,messages_per_second\nsqlite,1," << q4 << "\n";
        for (const auto& [runners, rate] : scaling)
            csv << "postgresql," << runners << "," << rate << "\n";
        csv << "bare1,1," << bare1 << "\nbare4,1," << bare4 << "\n";
    }
    int failed = 0;
    for (const auto& r : storms) failed += r.worst.failed;
    if (failed > 0) Bench::fail("storm: " + std::to_string(failed) + " add(s) exited non-zero");
    if (!stormWrong.empty()) Bench::fail("storm: " + stormWrong);
    if (badScrapes > 0) {
        Bench::fail("watch: " + std::to_string(badScrapes) + " fetch(es) of /metrics without 200");
    }
    if (!unread.empty()) Bench::fail("watch: " + unread);
    if (!httpWrong.empty()) Bench::fail("http: " + httpWrong);
    return 0;
}
