#include "servlet.h"

#include <cstdlib>

#include "hex.h"

namespace zelvogw {

namespace {

// An optional leading "+" and 3 to 20 digits.
bool validReceiver(const std::string& r) {
    const std::size_t start = (!r.empty() && r[0] == '+') ? 1 : 0;
    const std::size_t digits = r.size() - start;
    if (digits < 3 || digits > 20) return false;
    for (std::size_t i = start; i < r.size(); ++i) {
        if (r[i] < '0' || r[i] > '9') return false;
    }
    return true;
}

// Constant-time comparison, so that the answer's timing tells nothing of
// how much of a key was right.
bool sameKey(const std::string& a, const std::string& b) {
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const unsigned x = static_cast<unsigned char>(a[i]);
        const unsigned y = static_cast<unsigned char>(i < b.size() ? b[i] : '\0');
        diff |= x ^ y;
    }
    return diff == 0;
}

Verdict refuse(const char* line, int status = 200) {
    Verdict v;
    v.status = status;
    v.line = line;
    return v;
}

}  // namespace

Target splitTarget(const std::string& target) {
    std::string rest = target;
    // Absolute form: drop scheme and authority, keep the path.
    for (const char* scheme : {"http://", "HTTP://"}) {
        const std::string s = scheme;
        if (rest.compare(0, s.size(), s) == 0) {
            const auto slash = rest.find_first_of("/?", s.size());
            rest = slash == std::string::npos ? "/" : rest.substr(slash);
            if (rest[0] == '?') rest = "/" + rest;
            break;
        }
    }
    Target t;
    const auto q = rest.find('?');
    t.path = rest.substr(0, q);
    if (q != std::string::npos) t.query = rest.substr(q + 1);
    return t;
}

std::optional<std::string> formDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int hi = zelvonet::hexValue(text[i + 1]);
            const int lo = zelvonet::hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out += static_cast<char>(static_cast<unsigned char>(hi * 16 + lo));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::map<std::string, std::string>> parseQuery(const std::string& query) {
    std::map<std::string, std::string> params;
    if (query.empty()) return params;
    std::size_t start = 0;
    for (;;) {
        const auto amp = query.find('&', start);
        const std::string pair = query.substr(start, amp == std::string::npos ? amp : amp - start);
        const auto eq = pair.find('=');
        if (eq == std::string::npos || eq == 0) return std::nullopt;
        auto key = formDecode(pair.substr(0, eq));
        auto value = formDecode(pair.substr(eq + 1));
        if (!key || !value || key->empty()) return std::nullopt;
        if (!params.emplace(std::move(*key), std::move(*value)).second) return std::nullopt;
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return params;
}

std::string displayText(const std::string& msg) {
    std::string out;
    out.reserve(msg.size());
    for (std::size_t i = 0; i < msg.size(); ++i) {
        if (msg[i] == '\\' && i + 1 < msg.size() && msg[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += msg[i];
        }
    }
    return out;
}

std::size_t messageLength(const std::string& msg) {
    return displayText(msg).size();
}

Verdict evaluate(const std::optional<std::map<std::string, std::string>>& query,
                 const std::vector<Account>& accounts) {
    if (!query) return refuse(answer::kBadRequest, 400);
    const auto& q = *query;
    const auto field = [&q](const char* name) -> const std::string* {
        const auto it = q.find(name);
        return it == q.end() ? nullptr : &it->second;
    };

    Submission s;
    for (const char* required : {"kdnr", "firma", "user", "key"}) {
        if (field(required) == nullptr) return refuse(answer::kBadRequest, 400);
    }
    if (!parseFirma(*field("firma"), &s.firma)) return refuse(answer::kBadRequest, 400);
    if (const auto* t = field("test"); t != nullptr && *t != "1") {
        return refuse(answer::kBadRequest, 400);
    }
    s.kdnr = *field("kdnr");
    s.user = *field("user");
    s.test = field("test") != nullptr;
    if (const auto* t = field("time"); t != nullptr) s.time = *t;
    if (const auto* ip = field("ip")) s.ip = *ip;
    if (const auto* lu = field("localuser")) s.localuser = *lu;
    if (const auto* h = field("host")) s.host = *h;
    if (const auto* r = field("receiver")) s.receiver = *r;
    if (const auto* m = field("msg")) s.msg = *m;

    const Account* account = nullptr;
    for (const auto& a : accounts) {
        if (a.kdnr == s.kdnr && a.firma == s.firma && a.user == s.user) {
            account = &a;
            break;
        }
    }
    Verdict v;
    v.submission = s;
    const auto answerWith = [&v](const char* line) {
        v.line = line;
        return v;
    };
    if (account == nullptr) return answerWith(answer::kUnknownCustomer);
    if (!sameKey(*field("key"), account->key)) return answerWith(answer::kWrongKey);
    if (s.receiver.empty()) return answerWith(answer::kNoReceiver);
    if (!validReceiver(s.receiver)) return answerWith(answer::kBadReceiver);
    if (s.msg.empty()) return answerWith(answer::kEmptyMessage);
    if (messageLength(s.msg) > kMessageLimit) return answerWith(answer::kTooLong);
    v.accepted = true;
    return answerWith(answer::kOK);
}

}  // namespace zelvogw
