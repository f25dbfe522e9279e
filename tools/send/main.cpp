// zelvo-send: sends one SMS through the gateway, for scripts and servers.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "prepare.h"
#include "send_core.h"

namespace {

enum Exit {
    kAccepted = 0,
    kRefused = 1,
    kLocalFailure = 2,
    kUnknown = 3,
    kUsage = 64,
};

constexpr char kHelpFooter[] =
    "The key is read from the environment variable ZELVONET_KEY or from the\n"
    "file named by --key-file (which wins; one final line end is ignored);\n"
    "it is never taken from the command line, where the process list shows it.\n"
    "Without MESSAGE words the message is read from standard input.\n"
    "\n"
    "Exit status:\n"
    "  0   accepted: the gateway answered \"OK\" (printed on standard output)\n"
    "  1   refused: the gateway answered another line (printed on standard output)\n"
    "  2   local failure, nothing was sent (the [ERROR] text on standard error)\n"
    "  3   outcome unknown: the request went out but no answer came back; the\n"
    "      message may have been delivered (the [ERROR] text on standard error)\n"
    "  64  usage error: bad options, no key, a message that cannot be sent";

int usage(const std::string& what) {
    std::cerr << "zelvo-send: " << what << "\nTry zelvo-send --help.\n";
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    // A key on the command line would show in the process list: refuse it
    // without repeating it.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if (arg == "--key" || arg.rfind("--key=", 0) == 0) {
            return usage(
                "there is no --key option: a key on the command line shows in the process "
                "list; set ZELVONET_KEY or use --key-file FILE");
        }
    }

    CLI::App app{"zelvo-send - send one SMS through the operator's gateway.", "zelvo-send"};
    app.footer(kHelpFooter);
    app.set_version_flag("--version", std::string("zelvo-send ") + ZELVO_VERSION);

    std::string kdnr, user, receiver, time, proxy, gatewayText, keyFile;
    int firma = 0;
    bool test = false, replace = false;
    int timeoutSeconds = 30;
    std::vector<std::string> words;
    app.add_option("--kdnr", kdnr, "customer number")->required()->type_name("N");
    app.add_option("--firma", firma, "company number")->required()->type_name("N");
    app.add_option("--user", user, "user abbreviation")->required()->type_name("U");
    app.add_option("--to", receiver, "recipient's phone number, e.g. 01711234567 or +491711234567")
        ->required()
        ->type_name("RECEIVER");
    app.add_option("--time", time, "time value passed to the gateway")->type_name("T");
    app.add_flag("--test", test, "ask the gateway for a test send (checked, not delivered)");
    app.add_option("--proxy", proxy, "send through this HTTP proxy")->type_name("HOST:PORT");
    const std::string builtin =
        zelvonet::builtinGateway().host + ":" + std::to_string(zelvonet::builtinGateway().port);
    app.add_option("--gateway", gatewayText, "the gateway (default " + builtin + ")")
        ->type_name("HOST[:PORT]");
    app.add_option("--key-file", keyFile, "read the key from this file")->type_name("FILE");
    app.add_flag("--replace", replace,
                 "send \"?\" for characters outside Latin-1 instead of stopping");
    app.add_option("--timeout", timeoutSeconds,
                   "give up when the gateway stays silent this long (outcome unknown)")
        ->check(CLI::Range(1, 3600))
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("message", words, "the message; the words are joined by single spaces")
        ->type_name("MESSAGE...");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kUsage;
    }

    // The gateway and the proxy.
    zelvonet::Gateway gateway = zelvonet::builtinGateway();
    if (!gatewayText.empty() &&
        !zelvosend::parseHostPort(gatewayText, 8080, &gateway.host, &gateway.port)) {
        return usage("--gateway wants HOST or HOST:PORT with a port from 1 to 65535");
    }
    std::string proxyHost;
    int proxyPort = 0;
    if (!proxy.empty() && !zelvosend::parseHostPort(proxy, 0, &proxyHost, &proxyPort)) {
        return usage("--proxy wants HOST:PORT with a port from 1 to 65535");
    }

    // The key.
    std::string keyUtf8;
    if (!keyFile.empty()) {
        std::string why;
        if (!zelvosend::readKeyFile(keyFile, false, &keyUtf8, &why)) {
            std::cerr << "zelvo-send: " << why << "\n";
            return kLocalFailure;
        }
    } else if (const char* env = std::getenv("ZELVONET_KEY")) {
        keyUtf8 = env;
    } else {
        return usage("no key: set ZELVONET_KEY or use --key-file FILE");
    }
    if (keyUtf8.empty()) return usage("the key is empty");

    // The message.
    std::string messageUtf8;
    if (!zelvosend::messageText(words, std::cin, &messageUtf8)) {
        std::cerr << "zelvo-send: cannot read the message from standard input\n";
        return kLocalFailure;
    }

    const auto msg = zelvosend::prepareMessage(messageUtf8, replace);
    const auto userL1 = zelvosend::prepareText("--user", user, replace);
    const auto keyL1 = zelvosend::prepareText("the key", keyUtf8, replace);
    const auto kdnrRaw = zelvosend::prepareRaw("--kdnr", kdnr, false);
    const auto timeRaw = zelvosend::prepareRaw("--time", time, true);
    const auto to = zelvosend::prepareReceiver(receiver);
    for (const auto* p : {&msg, &userL1, &keyL1, &kdnrRaw, &timeRaw, &to}) {
        if (!p->ok) return usage(p->error);
    }
    if (kdnrRaw.value.empty()) return usage("--kdnr is empty");

    zelvonet::Message m;
    m.kdnr = kdnrRaw.value.c_str();
    m.firma = firma;
    m.user = userL1.value.c_str();
    m.key = keyL1.value.c_str();
    m.msg = msg.value.c_str();
    m.receiver = to.value.c_str();
    m.time = timeRaw.value.empty() ? nullptr : timeRaw.value.c_str();
    m.proxyHost = proxyHost.empty() ? nullptr : proxyHost.c_str();
    m.proxyPort = proxyPort;
    m.test = test;

    zelvonet::Timeouts timeouts = zelvonet::kDefaultTimeouts;
    timeouts.receiveIdleMs = timeoutSeconds * 1000;

    // The whole answer line: the gateway's verdict is never cut short.
    std::vector<char> answer(64 * 1024, '\0');
    const zelvonet::SendResult r =
        zelvonet::send(m, gateway, timeouts, answer.data(), static_cast<int>(answer.size()));
    const std::string text = zelvosend::answerForTerminal(answer.data());

    switch (r.outcome) {
        case zelvonet::Outcome::Accepted:
            std::cout << text << std::endl;
            return kAccepted;
        case zelvonet::Outcome::Refused:
            std::cout << text << std::endl;
            return kRefused;
        case zelvonet::Outcome::Failed:
            std::cerr << "zelvo-send: " << text << "\nzelvo-send: nothing was sent\n";
            return kLocalFailure;
        case zelvonet::Outcome::Unknown:
            break;
    }
    std::cerr << "zelvo-send: " << text
              << "\nzelvo-send: the request went out but no answer came back; the message may "
                 "have been delivered: check before sending it again\n";
    return kUnknown;
}
