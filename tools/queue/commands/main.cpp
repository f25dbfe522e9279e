// zelvo-queue: a durable send queue in front of the gateway. `add` stores a
// message and returns; `run` sends what is due, never a message twice.
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "add.h"
#include "charset.h"
#include "check.h"
#include "config.h"
#include "exporter.h"
#include "message_json.h"
#include "metrics.h"
#include "runner.h"
#include "serve.h"
#include "store.h"
#include "token.h"

namespace {

using namespace zelvoqueue;

enum Exit {
    kOk = 0,
    kNotDone = 1,  // no such message, or not in a state for that
    kStorage = 2,  // the queue cannot be read or written
    kUsage = 64,
    kConfig = 78,  // the runner's configuration or a key file is unusable
};

constexpr char kFooter[] =
    "The queue is --db PATH, or a postgresql:// connection URI, else $ZELVO_QUEUE_DB,\n"
    "else /var/lib/zelvo/queue.db for root and ~/.local/state/zelvo/queue.db\n"
    "(under $XDG_STATE_HOME when set) for others. The runner's configuration is\n"
    "--config FILE, else $ZELVO_QUEUE_CONFIG, else /etc/zelvo/queue.conf.\n"
    "\n"
    "States: queued, sending, accepted, refused, failed (nothing was sent, attempts\n"
    "used up), unknown (the gateway may have taken it; never sent again unless you\n"
    "retry it), expired (older than its TTL, never sent), dropped.\n"
    "\n"
    "Exit status: 0 done (add: the message is on disk, or its --dedup-key names an\n"
    "earlier one: that id); 1 no such message or not in a state for that; 2 the\n"
    "queue cannot be read or written (add: or stayed busy for all of --wait; nothing\n"
    "was stored); 64 usage error or a message that cannot be sent; 78 the\n"
    "configuration or a key file is unusable (run: or the metrics address). check\n"
    "exits as monitoring plugins do: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.";

std::atomic<bool> gStop{false};

void onStop(int) {
    gStop = true;
}

int fail(int code, const std::string& what) {
    std::cerr << "zelvo-queue: " << what << "\n";
    return code;
}

// The stored message text for a terminal or JSON: UTF-8, line breaks as sent.
std::string bodyText(const std::string& latin1) {
    return zelvotools::latin1ToUtf8(latin1);
}

std::string person() {
    const passwd* pw = ::getpwuid(::getuid());
    return "user " + (pw && pw->pw_name ? std::string(pw->pw_name) : std::to_string(::getuid()));
}

struct Common {
    std::string db;
    std::string config;
    std::string database() const { return db.empty() ? defaultDatabase() : db; }
};

int run(const Common& common, RunOptions options, std::string listen) {
    Config config;
    std::string why;
    if (!loadConfig(configPath(common.config), &config, &why) || !loadKeys(&config, &why)) {
        return fail(kConfig, why);
    }
    if (config.accounts.empty()) {
        return fail(kConfig, configPath(common.config) + " names no account: fill in [account]");
    }
    if (listen.empty()) listen = config.metricsListen;
    RunnerMetrics metrics;
    std::unique_ptr<MetricsServer> server;
    if (!listen.empty()) {
        try {
            server = std::make_unique<MetricsServer>(listen, common.database(), metrics);
        } catch (const std::exception& e) {
            return fail(kConfig, e.what());
        }
        options.metrics = &metrics;
        std::printf("zelvo-queue: metrics on http://%s/metrics\n", server->address().c_str());
        std::fflush(stdout);
    }
    // The signals are taken by a flag; the sends in flight are finished.
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    try {
        auto store = openPatiently(common.database(), gStop, stdout);
        if (store) runQueue(*store, config, options, gStop, stdout);
    } catch (const StoreError& e) {
        return fail(kStorage, e.what());
    }
    return kOk;
}

std::string oneLine(const std::string& utf8) {
    return zelvotools::printable(utf8, "\u21b5");
}

int list(Store& store, const std::string& stateText, bool json) {
    std::optional<State> only;
    if (!stateText.empty()) {
        only = stateFromName(stateText);
        if (!only) return fail(kUsage, "--state: no state \"" + stateText + "\"");
    }
    const auto messages = store.list(only);
    for (const Message& m : messages) {
        if (json) {
            std::cout << dumpJson(messageSummary(m)) << "\n";
        } else {
            std::printf("%6lld  %-8s  %-21s  %s  %2d  %s%s%s\n", m.id, stateName(m.state),
                        m.receiver.c_str(), isoTime(m.created).c_str(), m.attempts,
                        oneLine(bodyText(m.body)).substr(0, 40).c_str(),
                        m.runner.empty() ? "" : "  held by ", m.runner.c_str());
        }
    }
    std::cout.flush();
    return kOk;
}

int show(Store& store, long long id) {
    const auto found = store.get(id);
    if (!found) return fail(kNotDone, "no message " + std::to_string(id));
    const Message& m = *found;
    std::cout << "message " << m.id << ": " << stateName(m.state) << "\n"
              << "recipient: " << m.receiver << "\n"
              << "text: " << oneLine(bodyText(m.body)) << "\n"
              << "account: " << (m.account.empty() ? "(default)" : m.account) << "\n"
              << "test: " << (m.test ? "yes" : "no") << "\n";
    if (!m.time.empty()) std::cout << "time: " << m.time << "\n";
    if (!m.dedupKey.empty()) std::cout << "dedup key: " << oneLine(m.dedupKey) << "\n";
    std::cout << "created: " << isoTime(m.created) << "\n";
    if (m.ttl > 0) std::cout << "ttl: " << m.ttl << " s\n";
    if (m.state == State::Queued && m.attempts > 0) {
        std::cout << "next attempt: " << isoTime(m.due) << "\n";
    }
    if (!m.runner.empty()) {
        std::cout << "held by: " << m.runner << " until " << isoTime(m.leaseUntil) << "\n";
    }
    std::cout << "attempts: " << m.attempts << "\n";
    for (const Attempt& a : m.history) {
        std::cout << "  " << a.number << ". " << isoTime(a.started) << " to "
                  << (a.ended > 0 ? isoTime(a.ended) : std::string("(in flight)")) << "  "
                  << a.outcome << "  runner " << a.runner;
        if (!a.answer.empty()) std::cout << "  answer: " << oneLine(a.answer);
        if (!a.error.empty()) std::cout << "  error: " << oneLine(a.error);
        std::cout << "\n";
    }
    std::cout << "history:\n";
    for (const Event& e : m.events) {
        std::cout << "  " << isoTime(e.at) << "  " << oneLine(e.text) << "\n";
    }
    return kOk;
}

int stats(Store& store, bool json) {
    const auto counts = store.stats();
    if (json) {
        std::cout << dumpJson(statsJson(counts)) << std::endl;
        return kOk;
    }
    for (State s : kAllStates) std::printf("%-9s %lld\n", stateName(s), counts.at(s));
    for (const auto& [runner, n] : store.holders()) {
        std::printf("sending by %s: %lld\n", runner.c_str(), n);
    }
    std::fflush(stdout);
    return kOk;
}

// The plugin: bounded by `timeout` seconds as a whole, UNKNOWN past them.
char gTimedOut[128];

void onCheckTimeout(int) {
    const ssize_t n = ::write(1, gTimedOut, std::strlen(gTimedOut));
    (void)n;
    ::_exit(kPluginUnknown);
}

int check(const std::string& where, const CheckOptions& o, int timeout) {
    Verdict v;
    std::string why;
    for (const auto& [name, text] : {std::pair<const char*, const std::string&>{"-w", o.ageWarning},
                                     {"-c", o.ageCritical},
                                     {"--unknown-warning", o.unknownWarning},
                                     {"--unknown-critical", o.unknownCritical},
                                     {"--failed-warning", o.failedWarning},
                                     {"--failed-critical", o.failedCritical}}) {
        if (!validRange(text, &why)) {
            v = unknownVerdict(std::string(name) + ": " + why);
            std::fputs(v.output.c_str(), stdout);
            return v.status;
        }
    }
    std::snprintf(gTimedOut, sizeof gTimedOut,
                  "QUEUE UNKNOWN - no answer from the queue within %d s\n", timeout);
    ::signal(SIGALRM, onCheckTimeout);
    ::alarm(static_cast<unsigned>(timeout));
    try {
        auto store = openStore(where, timeout, false);
        v = judge(store->health(), o);
    } catch (const std::exception& e) {  // whatever it is, a plugin's answer is UNKNOWN
        v = unknownVerdict(e.what());
    }
    ::alarm(0);
    std::fputs(v.output.c_str(), stdout);
    std::fflush(stdout);
    return v.status;
}

// The figures into DIR/zelvo_queue.prom, whole: through a temporary file in
// the same directory and a rename, so that a reader never sees half of it.
int metricsFile(const std::string& dir, const std::string& text) {
    const std::string path = dir + "/zelvo_queue.prom";
    const std::string temp = dir + "/.zelvo_queue.prom." + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            const std::string why = std::strerror(errno);
            ::unlink(temp.c_str());
            return fail(kStorage, "cannot write " + temp + ": " + why);
        }
    }
    ::chmod(temp.c_str(), 0644);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        return fail(kStorage, "cannot rename " + temp + " to " + path + ": " + why);
    }
    return kOk;
}

int decide(Store& store, long long id, bool retry) {
    const Change c = retry ? store.retry(id, person()) : store.drop(id, person());
    if (c == Change::NoSuchMessage) return fail(kNotDone, "no message " + std::to_string(id));
    if (c == Change::NotAllowed) {
        const auto m = store.get(id);
        return fail(kNotDone,
                    "message " + std::to_string(id) + " is " + (m ? stateName(m->state) : "gone") +
                        (retry ? "; only unknown, failed or expired messages can be queued again"
                               : "; only queued, unknown, failed or expired messages can be "
                                 "dropped"));
    }
    std::cout << "message " << id << ": " << (retry ? "queued" : "dropped") << std::endl;
    return kOk;
}

// Whether the command line asks for the plugin: its first word that is not
// an option (or an option's value) is "check".
bool pluginCall(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--db" || word == "--config") {
            ++i;
        } else if (word.empty() || word[0] != '-') {
            return word == "check";
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // A full disk or a file-size limit must fail a write, not end the program.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    CLI::App app{"zelvo-queue - a durable send queue for the SMS gateway.", "zelvo-queue"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("zelvo-queue ") + ZELVO_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    Common common;
    app.add_option("--db", common.db, "the queue: a file, or a postgresql:// URI")
        ->type_name("PATH|URI");
    app.add_option("--config", common.config, "the runner's configuration")->type_name("FILE");

    AddArgs a;
    auto* addCmd = app.add_subcommand("add", "store a message; prints its id");
    addCmd->add_option("--to", a.to, "recipient, e.g. 01711234567 or +491711234567")
        ->required()
        ->type_name("RECEIVER");
    addCmd->add_flag("--test", a.test, "ask the gateway for a test send");
    addCmd->add_option("--time", a.time, "time value passed to the gateway")->type_name("T");
    addCmd->add_option("--ttl", a.ttl, "drop it unsent after this long (default: the runner's)")
        ->check(CLI::Range(1LL, 100LL * 365 * 86400))
        ->type_name("SECONDS");
    addCmd->add_option("--account", a.account, "an [account NAME] of the configuration")
        ->type_name("NAME");
    addCmd->add_flag("--truncate", a.truncate, "keep the first 160 characters of a longer message");
    addCmd->add_flag("--replace", a.replace,
                     "send \"?\" for characters outside Latin-1 instead of refusing");
    addCmd->add_option("--wait", a.waitSeconds, "wait this long at most for a busy database")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str()
        ->type_name("SECONDS");
    addCmd
        ->add_option("--dedup-key", a.dedupKey,
                     "store nothing if a message with this key was added within the window")
        ->type_name("KEY");
    addCmd
        ->add_option("--dedup-window", a.dedupWindow,
                     "seconds the key is held (default: [limits] dedup-window, 86400)")
        ->check(CLI::Range(1LL, 100LL * 365 * 86400))
        ->type_name("SECONDS");
    addCmd->add_option("message", a.words, "the message; without it, standard input")
        ->type_name("MESSAGE...");

    RunOptions ro;
    auto* runCmd = app.add_subcommand("run", "send due messages until SIGTERM or SIGINT");
    runCmd->add_flag("--once", ro.once, "stop when no message is due");
    runCmd->add_option("--workers", ro.workers, "messages in flight at once")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();

    std::string stateText;
    bool json = false;
    auto* listCmd = app.add_subcommand("list", "list the messages");
    listCmd->add_option("--state", stateText, "only messages in this state")->type_name("STATE");
    listCmd->add_flag("--json", json, "one JSON object per message");

    long long id = 0;
    auto* showCmd = app.add_subcommand("show", "a message with all its attempts");
    showCmd->add_option("id", id)->required()->type_name("ID");
    auto* retryCmd =
        app.add_subcommand("retry", "queue an unknown, failed or expired message again");
    retryCmd->add_option("id", id)->required()->type_name("ID");
    auto* dropCmd = app.add_subcommand("drop", "give a message up: dropped");
    dropCmd->add_option("id", id)->required()->type_name("ID");
    auto* statsCmd = app.add_subcommand("stats", "how many messages are in each state");
    statsCmd->add_flag("--json", json, "one JSON object: state name to count");
    auto* initCmd = app.add_subcommand("init", "create or upgrade the queue's schema");
    TokenArgs tokenArgs;
    auto* tokenCmd = addTokenCommand(app, &tokenArgs);

    std::string textfile;
    auto* metricsCmd =
        app.add_subcommand("metrics", "the queue's figures in the Prometheus text format");
    metricsCmd
        ->add_option("--textfile", textfile,
                     "write them to DIR/zelvo_queue.prom (for a textfile collector)")
        ->type_name("DIR");
    std::string listen;
    runCmd
        ->add_option("--metrics", listen,
                     "serve GET /metrics there (default: [metrics] listen; PORT is on 127.0.0.1)")
        ->type_name("ADDR:PORT");

    ServeArgs sa;
    auto* serveCmd = app.add_subcommand("serve", "the HTTP interface, until SIGTERM or SIGINT");
    serveCmd->add_option("--listen", sa.listen, "where (default: [serve] listen, 127.0.0.1:8425)")
        ->type_name("ADDR:PORT");
    serveCmd
        ->add_option("--tokens", sa.tokens,
                     "the token file (default: $ZELVO_QUEUE_TOKENS, else [serve] tokens)")
        ->type_name("FILE");
    serveCmd->add_option("--tls-cert", sa.tlsCert, "HTTPS with this certificate (PEM)")
        ->type_name("FILE");
    serveCmd->add_option("--tls-key", sa.tlsKey, "... and its key (PEM)")->type_name("FILE");
    serveCmd->add_flag("--insecure-listen", sa.insecureListen,
                       "plain HTTP on an address other than loopback (behind a TLS proxy)");

    CheckOptions co;
    int checkTimeout = 10;
    bool checkVersion = false;
    auto* checkCmd = app.add_subcommand(
        "check", "a monitoring plugin: is the queue doing its job? (exit 0 to 3)");
    checkCmd->footer(
        "RANGE: 10 (0 to 10), 10: (10 and up), ~:10 (up to 10), 10:20; outside alerts,\n"
        "@10:20 alerts inside. The age counts from when a message became due: added,\n"
        "queued again by a person, or its back-off ended.");
    checkCmd->add_option("-w,--warning", co.ageWarning, "age of the oldest due message, seconds")
        ->capture_default_str()
        ->type_name("RANGE");
    checkCmd->add_option("-c,--critical", co.ageCritical, "age of the oldest due message, seconds")
        ->capture_default_str()
        ->type_name("RANGE");
    checkCmd->add_option("--unknown-warning", co.unknownWarning, "messages in unknown")
        ->capture_default_str()
        ->type_name("RANGE");
    checkCmd->add_option("--unknown-critical", co.unknownCritical, "messages in unknown")
        ->type_name("RANGE");
    checkCmd->add_option("--failed-warning", co.failedWarning, "messages in failed")
        ->capture_default_str()
        ->type_name("RANGE");
    checkCmd->add_option("--failed-critical", co.failedCritical, "messages in failed")
        ->type_name("RANGE");
    checkCmd
        ->add_option("--runner-critical", co.runnerCritical,
                     "CRITICAL when messages are due and no runner worked for so long (0: off)")
        ->check(CLI::Range(0.0, 1e9))
        ->capture_default_str()
        ->type_name("SECONDS");
    checkCmd->add_option("-t,--timeout", checkTimeout, "UNKNOWN when the check takes longer")
        ->check(CLI::Range(1, 3600))
        ->capture_default_str()
        ->type_name("SECONDS");
    checkCmd->add_flag("-v,--verbose", co.verbose, "a second line with every state's count");
    checkCmd->add_flag("-V,--version", checkVersion, "the version");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // A plugin says UNKNOWN for its help and for a usage error alike,
        // the error on its one line of output.
        const bool plugin = pluginCall(argc, argv);
        if (plugin && e.get_exit_code() != 0) {
            std::fputs(unknownVerdict(e.what()).output.c_str(), stdout);
            return kPluginUnknown;
        }
        const int rc = app.exit(e);
        if (plugin) return kPluginUnknown;
        return rc == 0 ? kOk : kUsage;
    }

    if (*checkCmd) {
        if (checkVersion) {
            std::cout << "zelvo-queue check " << ZELVO_VERSION << std::endl;
            return kPluginUnknown;
        }
        return check(common.database(), co, checkTimeout);
    }
    if (*addCmd) return addMessage(common.database(), common.config, a);
    if (*serveCmd) return serveQueue(common.database(), common.config, sa);
    if (*runCmd) return run(common, ro, listen);
    if (*tokenCmd) {
        // The file serve reads: --tokens, $ZELVO_QUEUE_TOKENS, [serve] tokens.
        const char* env = std::getenv("ZELVO_QUEUE_TOKENS");
        Config config;
        std::string why;
        if (tokenArgs.file.empty() && !(env && *env) &&
            loadConfig(configPath(common.config), &config, &why)) {
            tokenArgs.file = config.tokensPath;
        }
        return tokenCommand(tokenArgs);
    }
    if (*metricsCmd) {
        try {
            const std::string text =
                queueMetrics(openStore(common.database(), 10, false)->health());
            if (!textfile.empty()) return metricsFile(textfile, text);
            std::cout << text << std::flush;
            return kOk;
        } catch (const StoreError& e) {
            return fail(kStorage, e.what());
        }
    }
    try {
        auto store = openStore(common.database());
        if (*listCmd) return list(*store, stateText, json);
        if (*showCmd) return show(*store, id);
        if (*retryCmd) return decide(*store, id, true);
        if (*dropCmd) return decide(*store, id, false);
        if (*statsCmd) return stats(*store, json);
        if (*initCmd) {
            store->init();
            std::cout << store->where() << ": schema version " << kSchemaVersion << std::endl;
            return kOk;
        }
    } catch (const StoreError& e) {
        return fail(kStorage, e.what());
    }
    return kUsage;
}
