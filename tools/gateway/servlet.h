// What the simulated servlet makes of one request: the query decoded as the
// client encodes it, the account checked, the message validated. Pure
// functions, no I/O; the server stores and answers.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "accounts.h"

namespace zelvogw {

constexpr char kServletPath[] = "/ZelvoServlet";
constexpr std::size_t kMessageLimit = 160;

// The path of a request target in origin form ("/ZelvoServlet?...") or
// absolute form ("http://host:8080/ZelvoServlet?..."), and its query (the
// part behind the first "?", without it).
struct Target {
    std::string path;
    std::string query;
};
Target splitTarget(const std::string& target);

// Form decoding: "+" is a space, "%xx" the byte xx; all other bytes stand
// for themselves. Returns nothing for a malformed "%" escape.
std::optional<std::string> formDecode(const std::string& text);

// The query's keys and values (decoded bytes, Latin-1). Returns nothing when
// the query is malformed: a bad escape, a key without "=", an empty or
// repeated key.
std::optional<std::map<std::string, std::string>> parseQuery(const std::string& query);

// A message's text for display: each backslash-n becomes a line feed.
std::string displayText(const std::string& msg);

// Characters of a message as the sender counted them: a backslash-n is one.
std::size_t messageLength(const std::string& msg);

// One accepted message, every field as it arrived (Latin-1 bytes).
struct Submission {
    std::string kdnr;
    long firma = 0;
    std::string user;
    std::string msg;
    std::string receiver;
    std::optional<std::string> time;
    bool test = false;
    std::string ip;
    std::string localuser;
    std::string host;
};

// The servlet's verdict on one request.
struct Verdict {
    int status = 200;
    std::string line;  // the answer line, Latin-1, without line end
    bool accepted = false;
    Submission submission;  // complete when accepted; partial otherwise
};

// Answer lines (Latin-1).
namespace answer {
constexpr char kOK[] = "OK";
constexpr char kUnknownCustomer[] = "Kunde unbekannt";
constexpr char kWrongKey[] = "Schl\xfcssel falsch";
constexpr char kNoReceiver[] = "Empf\xe4nger fehlt";
constexpr char kBadReceiver[] = "Empf\xe4nger ung\xfcltig";
constexpr char kEmptyMessage[] = "Nachricht ist leer";
constexpr char kTooLong[] = "Nachricht l\xe4nger als 160 Zeichen";
constexpr char kBadRequest[] = "Anfrage fehlerhaft";
constexpr char kNotStored[] = "Nachricht nicht gespeichert";
constexpr char kNotFound[] = "Unbekannter Pfad";
constexpr char kOnlyGet[] = "Nur GET erlaubt";
}  // namespace answer

// Checks a decoded query against the accounts, in this order: the query's
// form, the customer (kdnr, firma and user), the key, the recipient, the
// message.
Verdict evaluate(const std::optional<std::map<std::string, std::string>>& query,
                 const std::vector<Account>& accounts);

}  // namespace zelvogw
