// zelvo-gateway: a local stand-in for the operator's SMS gateway.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "accounts.h"
#include "line_log.h"
#include "server.h"

namespace {

constexpr int kUsage = 64;
constexpr int kCannotStart = 1;

bool splitListen(const std::string& text, std::string* address, std::uint16_t* port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    const std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long p = std::stoul(digits);
    if (p > 65535) return false;
    *address = text.substr(0, colon);
    *port = static_cast<std::uint16_t>(p);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "zelvo-gateway - a local stand-in for the operator's SMS gateway.\n"
        "Answers GET /ZelvoServlet as the gateway does (\"OK\" or a German line),\n"
        "stores every accepted message as one JSON line in the outbox before\n"
        "answering \"OK\", and prints one line per request.\n"
        "Without --account or --accounts it serves the demo account\n"
        "12345:1:tst:geheim (customer number 12345, company 1, user tst, key geheim).\n"
        "Stops cleanly on SIGINT or SIGTERM.",
        "zelvo-gateway"};
    app.footer(
        "Exit status: 0 after a clean stop, 1 when it cannot start (port in use,\n"
        "outbox or account file unusable), 64 on a usage error.");
    app.set_version_flag("--version", std::string("zelvo-gateway ") + ZELVO_VERSION);

    std::string listen = "127.0.0.1:8080";
    std::string outboxPath = "zelvo-outbox.jsonl";
    std::string accountsFile;
    std::vector<std::string> accountEntries;
    app.add_option("--listen", listen, "address and port to listen on; port 0 takes any free one")
        ->type_name("ADDR:PORT")
        ->capture_default_str();
    app.add_option("--outbox", outboxPath, "file the accepted messages are appended to")
        ->type_name("FILE")
        ->capture_default_str();
    app.add_option("--accounts", accountsFile,
                   "file with one account KDNR:FIRMA:USER:KEY per line (# starts a comment)")
        ->type_name("FILE");
    app.add_option("--account", accountEntries, "an account; may be repeated")
        ->type_name("KDNR:FIRMA:USER:KEY");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsage;
    }

    zelvogw::ServerConfig config;
    if (!splitListen(listen, &config.address, &config.port)) {
        std::fprintf(stderr, "zelvo-gateway: --listen wants ADDR:PORT, not \"%s\"\n",
                     listen.c_str());
        return kUsage;
    }
    for (const auto& entry : accountEntries) {
        zelvogw::Account a;
        std::string why;
        if (!zelvogw::parseAccount(entry, &a, &why)) {
            std::fprintf(stderr, "zelvo-gateway: --account: %s\n", why.c_str());
            return kUsage;
        }
        config.accounts.push_back(a);
    }
    if (!accountsFile.empty()) {
        std::string why;
        if (!zelvogw::loadAccounts(accountsFile, &config.accounts, &why)) {
            std::fprintf(stderr, "zelvo-gateway: %s\n", why.c_str());
            return kCannotStart;
        }
    }
    const bool demo = config.accounts.empty() && accountsFile.empty();
    if (demo) config.accounts.push_back(zelvogw::demoAccount());
    if (config.accounts.empty()) {
        std::fprintf(stderr, "zelvo-gateway: %s holds no account\n", accountsFile.c_str());
        return kCannotStart;
    }
    config.outboxPath = outboxPath;
    // Up to 10000 lines wait for a slow reader of standard output.
    zelvogw::LineLog log(STDOUT_FILENO, 10000);
    config.log = [&log](const std::string& line) { log.post(line); };

    // The signals are taken by sigwait below; every thread the server starts
    // inherits this mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A full disk or a file-size limit must fail the write, not end the
    // simulator: the message is then answered as not stored.
    signal(SIGXFSZ, SIG_IGN);

    zelvogw::GatewayServer server(config);
    std::string why;
    if (!server.start(&why)) {
        std::fprintf(stderr, "zelvo-gateway: %s\n", why.c_str());
        return kCannotStart;
    }
    log.post(std::string("zelvo-gateway ") + ZELVO_VERSION + " listening on " +
             server.boundAddress() + ":" + std::to_string(server.port()) +
             ", servlet /ZelvoServlet, outbox " + outboxPath + ", " +
             (demo ? std::string("demo account 12345:1:tst:geheim")
                   : std::to_string(config.accounts.size()) + " account(s)"));

    int sig = 0;
    while (sigwait(&stopSignals, &sig) != 0) {
    }
    server.stop();
    log.post(std::string("zelvo-gateway stopped (") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ")");
    log.close(2000);
    return 0;
}
