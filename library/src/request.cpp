#include "request.h"

#include <cstring>

namespace zelvonet {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void appendPercent(std::string& out, unsigned char b) {
    out += '%';
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0x0F];
}

bool isAsciiAlnum(unsigned char b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
}

// An optional value counts as absent when null or empty.
bool present(const char* s) {
    return s != nullptr && s[0] != '\0';
}

}  // namespace

// The whole of a NUL-terminated value, or of a local fact (at most 257 bytes).
static std::string encodeWhole(const char* s) {
    return urlEncode(s, std::strlen(s));
}

static std::string encodeWhole(const std::string& s) {
    return urlEncode(s.data(), s.size());
}

std::string urlEncode(const char* text, std::size_t length) {
    std::string out;
    if (length == 0) return out;
    out.reserve(length * 3);
    for (std::size_t i = 0; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (isAsciiAlnum(b)) {
            out += static_cast<char>(b);
        } else if (b == ' ') {
            out += '+';
        } else {
            appendPercent(out, b);
        }
    }
    return out;
}

std::string convertInt(int number) {
    return std::to_string(number);
}

std::string escapeControls(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == 0x7F) {
            appendPercent(out, b);
        } else {
            out += c;
        }
    }
    return out;
}

bool usesProxy(const char* proxyHost) noexcept {
    return present(proxyHost);
}

std::string composeQuery(const Message& m, const LocalFacts& facts) {
    std::string q;
    q.reserve(256 + 3 * std::strlen(m.msg));
    q += "?kdnr=";
    q += escapeControls(m.kdnr);
    q += "&firma=";
    q += convertInt(m.firma);
    q += "&user=";
    q += encodeWhole(m.user);
    q += "&key=";
    q += encodeWhole(m.key);
    q += "&msg=";
    q += encodeWhole(m.msg);
    q += "&receiver=";
    q += escapeControls(m.receiver);
    if (present(m.time)) {
        q += "&time=";
        q += escapeControls(m.time);
    }
    q += "&ip=";
    q += escapeControls(facts.ip);
    q += "&localuser=";
    q += encodeWhole(facts.user);
    q += "&host=";
    q += escapeControls(facts.host);
    if (m.test) q += "&test=1";
    return q;
}

std::string composeRequest(const std::string& query, const Gateway& gw, bool proxyForm) {
    std::string r;
    r.reserve(query.size() + 2 * gw.host.size() + gw.servlet.size() + 64);
    r += "GET ";
    if (proxyForm) {
        r += "http://";
        r += gw.host;
        r += ':';
        r += convertInt(gw.port);
    }
    r += gw.servlet;
    r += query;
    r += " HTTP/1.1\n";
    r += "HOST: ";
    r += gw.host;
    r += '\n';
    r += "Connection: close\n\n";
    return r;
}

void _strCopy(char* buf, const char* str, int size) noexcept {
    if (size <= 0) return;
    int i = 0;
    for (; i < size - 1 && str[i] != '\0'; ++i) buf[i] = str[i];
    buf[i] = '\0';
}

}  // namespace zelvonet
