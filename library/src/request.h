// Composition of the one gateway request and the value encodings it uses.
#pragma once

#include <cstddef>
#include <string>

#include "send_core.h"

namespace zelvonet {

// The longest value the request takes from the caller (kdnr, user, key, msg,
// receiver, time): 2^31 - 1 bytes, the most that a signed 32-bit count of
// its bytes can state. A longer one would be encoded empty or cut short.
constexpr std::size_t kMaxValueLength = 2147483647;

// Form encoding of free-text values: the 62 ASCII letters and digits pass,
// a space becomes "+", every other byte "%" and two lower-case hex digits.
// Reads exactly `length` bytes of `text` (a NUL among them gives "%00");
// `length` 0 gives "" without reading `text`.
std::string urlEncode(const char* text, std::size_t length);

// Decimal text of a signed 32-bit integer ("-2147483648" ... "2147483647").
std::string convertInt(int number);

// Values that go into the query without form encoding (kdnr, receiver,
// time and the local facts) keep every byte except the control bytes
// 0x00-0x20 and 0x7F, which would end or forge the request line; those are
// written as "%" and two lower-case hex digits.
std::string escapeControls(const std::string& value);

// The three facts about the local machine that every request carries.
struct LocalFacts {
    std::string ip;    // dotted IPv4 address of the host name, or empty
    std::string user;  // name of the user running the program, or empty
    std::string host;  // the machine's host name, or empty
};

// True when the request goes through a proxy: `proxyHost` is set and not empty.
bool usesProxy(const char* proxyHost) noexcept;

// The query string, from "?kdnr=" to the last key. `m`'s five required
// fields must not be null.
std::string composeQuery(const Message& m, const LocalFacts& facts);

// The whole request text around `query`, in the direct form or, for a
// proxy, the absolute form.
std::string composeRequest(const std::string& query, const Gateway& gw, bool proxyForm);

// The copy rule for the caller's answer buffer: copies `str` up to its NUL
// or `size` - 1 bytes, then a NUL; writes nothing when `size` is 0 or less.
void _strCopy(char* buf, const char* str, int size) noexcept;

}  // namespace zelvonet
