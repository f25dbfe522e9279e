// Turning what a person types on a command line into the byte values the
// gateway expects: Latin-1 text, line breaks as backslash-n, the message
// limit, and the unencoded query values made safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace zelvosend {

constexpr std::size_t kMessageLimit = 160;

struct Prepared {
    bool ok = false;
    std::string value;  // the bytes to hand to the library
    std::string error;  // why not, for the user (UTF-8)
};

// The message: UTF-8 in, Latin-1 out. CR LF and a lone CR count as one line
// break like LF; the length is counted in UTF-16 code units before the line
// breaks are escaped, and must be 1 to 160. Each line break becomes the two
// characters backslash and n. A character outside Latin-1 is an error that
// names it, or, with `replace`, one "?" per UTF-16 code unit. With
// `truncate`, a longer message keeps its first 160 characters (a character
// outside the Basic Multilingual Plane is never cut in half).
Prepared prepareMessage(const std::string& utf8, bool replace, bool truncate = false);

// A free-text field (user, key): UTF-8 to Latin-1, same replacement rule.
Prepared prepareText(const char* name, const std::string& utf8, bool replace);

// Fields the library inserts into the query without encoding (customer
// number, time). Printable ASCII only (the customer number without spaces);
// the characters a form-decoding gateway would misread ("%", "+", "&", "#",
// "=") are percent-encoded here, so that the gateway reads the value as
// typed.
Prepared prepareRaw(const char* name, const std::string& value, bool allowSpace);

// The recipient: an optional leading "+" and 3 to 20 digits; spaces, "-"
// and "/" between the digits are dropped. The "+" is sent as "%2b".
Prepared prepareReceiver(const std::string& value);

// HOST[:PORT] (PORT 1 to 65535, `defaultPort` when absent; 0 means the port
// is required).
bool parseHostPort(const std::string& text, int defaultPort, std::string* host, int* port);

// What arrived from standard input, less one final line end (LF or CR LF).
std::string withoutFinalLineEnd(std::string text);

// The message as typed: the words joined by single spaces, or without words
// all of `in` less one final line end. False when `in` cannot be read.
bool messageText(const std::vector<std::string>& words, std::istream& in, std::string* utf8);

// A key file's content less one final line end. With `privateOnly` a file
// that others than its owner and group may read is refused. False with the
// reason in `why`.
bool readKeyFile(const std::string& path, bool privateOnly, std::string* key, std::string* why);

// The gateway's answer (Windows-1252) as one UTF-8 line for a terminal:
// controls are shown as "\xNN".
std::string answerForTerminal(const std::string& cp1252);

}  // namespace zelvosend
