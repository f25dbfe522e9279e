// The send core: everything one call of sendSMS2 does, with the gateway
// address and the time-outs as parameters. The exported functions wrap it
// with the built-in gateway; tests and the command-line tools call it with
// addresses and time-outs of their own. Internal to the product: not part of
// the library's exported interface.
#pragma once

#include <cstddef>

#include <string>

namespace zelvonet {

// Where the gateway's servlet is. The request's HOST header and the absolute
// URL of the proxy form name this host and port.
struct Gateway {
    std::string host;
    int port = 8080;
    std::string servlet = "/ZelvoServlet";
};

// The built-in gateway of the exported functions.
const Gateway& builtinGateway();

// Time-outs in milliseconds.
struct Timeouts {
    int connectMs = 10000;        // connecting gives up after this
    int sendIdleMs = 30000;       // the peer took no byte of the request for this long
    int receiveIdleMs = 30000;    // no byte of the reply arrived for this long
    int receiveTotalMs = 120000;  // the answer is still not complete this long after the request
};

// The time-outs of the exported functions.
constexpr Timeouts kDefaultTimeouts{};

// The caller's fields, in the order sendSMS2 takes them.
struct Message {
    const char* kdnr = nullptr;
    int firma = 0;
    const char* user = nullptr;
    const char* key = nullptr;
    const char* msg = nullptr;
    const char* receiver = nullptr;
    const char* time = nullptr;
    const char* proxyHost = nullptr;
    int proxyPort = 0;
    bool test = false;
};

// What is known of the message's fate; finer than the 0/1 result.
enum class Outcome {
    Accepted,  // the gateway's answer line is exactly "OK"
    Refused,   // the gateway answered with another line
    Failed,    // a local failure before any byte of the request left: not sent
    Unknown,   // the request (or part of it) went out but no evaluable answer came back
};

// The first of the caller's values (kdnr, user, key, msg, receiver, time)
// longer than `limit` bytes, by name; null when none is. send() refuses
// such a value with "[ERROR] Wert zu lang: <name>" before it connects.
const char* overlongField(const Message& m, std::size_t limit);

struct SendResult {
    int result = 1;  // 0 for Accepted, 1 otherwise
    Outcome outcome = Outcome::Failed;
};

// One complete send. The answer text is written into `answer` by the copy
// rule (at most answerSize bytes, NUL-terminated; nothing when answerSize is
// 0 or less or answer is null). Never throws.
SendResult send(const Message& m, const Gateway& gw, const Timeouts& to, char* answer,
                int answerSize) noexcept;

}  // namespace zelvonet
