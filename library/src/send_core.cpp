#include "send_core.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "gateway_config.h"
#include "local_facts.h"
#include "reply.h"
#include "request.h"
#include "socket_layer.h"

namespace zelvonet {

namespace {

// The library's own texts, in Windows-1252 ("\xfc" is the u with diaeresis).
constexpr char kSocketLayer[] = "[ERROR] Fehler im Socket-Subsystem";
constexpr char kNoSocket[] = "[ERROR] Socket konnte nicht erzeugt werden";
constexpr char kHostNotFound[] = "[ERROR] Host nicht gefunden: ";
constexpr char kConnectFailed[] = "[ERROR] Verbindung konnte nicht etabliert werden: ";
constexpr char kConnectFailedEnd[] = " reagiert nicht";
constexpr char kNothingReceived[] =
    "[ERROR] Verbindung zum Server aus unbekannten Gr\xfc"
    "nden fehlgeschlagen";
constexpr char kBadFormat[] = "[ERROR] Antwort vom Server entspricht nicht dem erwarteten Format";
constexpr char kNoAnswer[] = "[ERROR] Keine Antwort von ";
constexpr char kNoAnswerEnd[] = " - Versand ungewiss";
constexpr char kMissingField[] = "[ERROR] Pflichtfeld fehlt: ";
constexpr char kValueTooLong[] = "[ERROR] Wert zu lang: ";
constexpr char kOutOfMemory[] = "[ERROR] Nicht genug Speicher";
constexpr char kSendFailed[] = "send() in \"msgSend()\" fehlgeschlagen";

// The one receive buffer of a call; the reply is evaluated chunk by chunk.
constexpr std::size_t kReceiveChunk = 1024;

// Where the call ended, with the text for the caller.
struct Ending {
    SendResult result;
    std::string text;
};

Ending failed(std::string text) {
    return {{1, Outcome::Failed}, std::move(text)};
}

// Sends the whole request; a failure prints the one diagnostic line. Returns
// whether any byte of the request was taken by the platform.
bool msgSend(net::Socket& s, const std::string& text, int idleMs) {
    std::size_t sent = 0;
    const net::Io io = s.sendAll(text.data(), text.size(), idleMs, &sent);
    if (io != net::Io::Ok) {
        if (io == net::Io::Timeout) net::setTimeoutError();
        net::reportLastError(kSendFailed);
    }
    return sent > 0;
}

const char* missingField(const Message& m) {
    if (m.kdnr == nullptr) return "kdnr";
    if (m.user == nullptr) return "user";
    if (m.key == nullptr) return "key";
    if (m.msg == nullptr) return "msg";
    if (m.receiver == nullptr) return "receiver";
    return nullptr;
}

}  // namespace

const char* overlongField(const Message& m, std::size_t limit) {
    const auto tooLong = [limit](const char* s) { return s != nullptr && std::strlen(s) > limit; };
    if (tooLong(m.kdnr)) return "kdnr";
    if (tooLong(m.user)) return "user";
    if (tooLong(m.key)) return "key";
    if (tooLong(m.msg)) return "msg";
    if (tooLong(m.receiver)) return "receiver";
    if (tooLong(m.time)) return "time";
    return nullptr;
}

namespace {

Ending exchange(const Message& m, const Gateway& gw, const Timeouts& to, std::size_t keep,
                bool& requestLeft) {
    if (const char* name = missingField(m)) return failed(std::string(kMissingField) + name);
    if (const char* name = overlongField(m, kMaxValueLength))
        return failed(std::string(kValueTooLong) + name);

    const net::SocketLayer layer;
    if (!layer.started()) return failed(kSocketLayer);

    const bool proxy = usesProxy(m.proxyHost);
    const std::string target = proxy ? std::string(m.proxyHost) : gw.host;
    net::Endpoint endpoint;
    endpoint.port = static_cast<std::uint16_t>((proxy ? m.proxyPort : gw.port) & 0xFFFF);

    net::Socket socket = net::Socket::tcp4();
    if (!socket.valid()) return failed(kNoSocket);
    if (!net::resolveIPv4(target, &endpoint.address)) return failed(kHostNotFound + target);
    if (socket.connect(endpoint, to.connectMs) != net::Io::Ok) {
        return failed(kConnectFailed + target + kConnectFailedEnd);
    }

    const LocalFacts facts = gatherLocalFacts();
    const std::string request = composeRequest(composeQuery(m, facts), gw, proxy);
    requestLeft = msgSend(socket, request, to.sendIdleMs);

    // A peer that trickles bytes without ever completing the answer is given
    // up on like a silent one, once the whole reply has taken too long.
    ReplyEvaluator reply(keep);
    char buf[kReceiveChunk];
    const auto giveUp = net::Clock::now() + std::chrono::milliseconds(to.receiveTotalMs);
    for (bool first = true;; first = false) {
        const int wait = std::min(net::remainingMs(giveUp), to.receiveIdleMs);
        std::size_t got = 0;
        // The reply is not there yet right after the request: wait first.
        const net::Io io = socket.receive(buf, sizeof buf, wait, &got, first);
        if (io == net::Io::Timeout) {
            return {{1, Outcome::Unknown}, kNoAnswer + target + kNoAnswerEnd};
        }
        if (io != net::Io::Ok) break;  // closed, or an error: evaluate what arrived
        if (reply.feed(buf, got)) break;
    }

    const Outcome unknown = requestLeft ? Outcome::Unknown : Outcome::Failed;
    switch (reply.verdict()) {
        case ReplyEvaluator::Verdict::Empty:
            return {{1, unknown}, kNothingReceived};
        case ReplyEvaluator::Verdict::NoHeaderEnd:
        case ReplyEvaluator::Verdict::BadFraming:
            return {{1, unknown}, kBadFormat};
        case ReplyEvaluator::Verdict::Answer:
            break;
    }
    if (reply.answerIsOK()) return {{0, Outcome::Accepted}, reply.answer()};
    return {{1, Outcome::Refused}, reply.answer()};
}

}  // namespace

const Gateway& builtinGateway() {
    static const Gateway gw{ZELVONET_GATEWAY_HOST, 8080, "/ZelvoServlet"};
    return gw;
}

SendResult send(const Message& m, const Gateway& gw, const Timeouts& to, char* answer,
                int answerSize) noexcept {
    const std::size_t keep =
        (answer != nullptr && answerSize > 0) ? static_cast<std::size_t>(answerSize) - 1 : 0;
    bool requestLeft = false;
    try {
        const Ending end = exchange(m, gw, to, keep, requestLeft);
        if (answer != nullptr) _strCopy(answer, end.text.c_str(), answerSize);
        return end.result;
    } catch (...) {
        // Only an allocation can fail; no exception leaves the library.
        if (answer != nullptr) _strCopy(answer, kOutOfMemory, answerSize);
        return {1, requestLeft ? Outcome::Unknown : Outcome::Failed};
    }
}

}  // namespace zelvonet
