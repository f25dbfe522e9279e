#include "accounts.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "charset.h"

namespace zelvogw {

Account demoAccount() {
    return Account{"12345", 1, "tst", "geheim"};
}

namespace {

bool toLatin1(const std::string& utf8, std::string* out) {
    const auto u16 = zelvotools::utf8ToUtf16(utf8);
    if (!u16.valid) return false;
    const auto l1 = zelvotools::utf16ToLatin1(u16.text, false);
    if (!l1.ok) return false;
    *out = l1.bytes;
    return true;
}

}  // namespace

bool parseFirma(const std::string& text, long* out) {
    if (text.empty() || text.size() > 11) return false;
    std::size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (std::size_t k = i; k < text.size(); ++k) {
        if (text[k] < '0' || text[k] > '9') return false;
    }
    const long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < -2147483648L || v > 2147483647L) return false;
    *out = v;
    return true;
}

bool parseAccount(const std::string& entry, Account* out, std::string* error) {
    const auto c1 = entry.find(':');
    const auto c2 = c1 == std::string::npos ? c1 : entry.find(':', c1 + 1);
    const auto c3 = c2 == std::string::npos ? c2 : entry.find(':', c2 + 1);
    if (c3 == std::string::npos) {
        *error = "an account is KDNR:FIRMA:USER:KEY";
        return false;
    }
    Account a;
    a.kdnr = entry.substr(0, c1);
    if (a.kdnr.empty()) {
        *error = "the customer number is empty";
        return false;
    }
    for (char c : a.kdnr) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7F || c == '&' || c == '=' || c == '%' || c == '+' || c == '#') {
            *error = "the customer number may hold printable ASCII but no & = % + #";
            return false;
        }
    }
    if (!parseFirma(entry.substr(c1 + 1, c2 - c1 - 1), &a.firma)) {
        *error = "the company number is not a 32-bit integer";
        return false;
    }
    if (!toLatin1(entry.substr(c2 + 1, c3 - c2 - 1), &a.user) ||
        !toLatin1(entry.substr(c3 + 1), &a.key)) {
        *error = "user and key must be UTF-8 text within Latin-1";
        return false;
    }
    if (a.key.empty()) {
        *error = "the key is empty";
        return false;
    }
    *out = a;
    return true;
}

bool loadAccounts(const std::string& path, std::vector<Account>* out, std::string* error) {
    std::ifstream in(path);
    if (!in) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        Account a;
        std::string why;
        if (!parseAccount(line, &a, &why)) {
            *error = path + ":" + std::to_string(number) + ": " + why;
            return false;
        }
        out->push_back(a);
    }
    if (in.bad()) {
        *error = path + ": read error";
        return false;
    }
    return true;
}

}  // namespace zelvogw
