#include "oracle.h"

#include <cstdio>
#include <cstdlib>

namespace zelvofuzz {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string asciiLower(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return s;
}

// The last non-empty coding of one Transfer-Encoding value; blanks anywhere
// in a coding are dropped. Empty when the value names none.
std::string lastCoding(const std::string& value, std::string last) {
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string::npos) comma = value.size();
        std::string coding;
        for (std::size_t i = start; i < comma; ++i) {
            const char c = value[i];
            if (c != ' ' && c != '\t' && c != '\r') coding += c;
        }
        if (!coding.empty()) last = asciiLower(coding);
        start = comma + 1;
    }
    return last;
}

std::string hex2(unsigned char b) {
    static const char digits[] = "0123456789abcdef";
    return std::string{'%', digits[b >> 4], digits[b & 15]};
}

}  // namespace

Dechunked dechunk(const std::string& body) {
    Dechunked d;
    std::size_t p = 0;
    const std::size_t n = body.size();
    auto broken = [&](std::size_t at) {
        d.end = Dechunked::End::Broken;
        d.pos = at;
        return d;
    };
    for (;;) {
        // Chunk size.
        if (p == n) return d;
        if (hexDigit(body[p]) < 0) return broken(p);
        std::uint64_t size = 0;
        while (p < n && hexDigit(body[p]) >= 0) {
            if (size >= (std::uint64_t{1} << 56)) return broken(p);
            size = size * 16 + static_cast<std::uint64_t>(hexDigit(body[p]));
            ++p;
        }
        if (p == n) return d;
        // End of the size line.
        const char c = body[p];
        if (c == ';' || c == ' ' || c == '\t') {
            const std::size_t lf = body.find('\n', p);
            if (lf == std::string::npos) return d;
            p = lf + 1;
        } else if (c == '\r') {
            if (p + 1 == n) return d;
            if (body[p + 1] != '\n') return broken(p + 1);
            p += 2;
        } else if (c == '\n') {
            p += 1;
        } else {
            return broken(p);
        }
        if (size == 0) {
            d.end = Dechunked::End::Ended;
            d.pos = p;
            return d;
        }
        // Data, then its line end.
        if (n - p < size) {
            d.data.append(body, p, std::string::npos);
            return d;
        }
        d.data.append(body, p, static_cast<std::size_t>(size));
        p += static_cast<std::size_t>(size);
        if (p == n) return d;
        if (body[p] == '\n') {
            p += 1;
        } else if (body[p] == '\r') {
            if (p + 1 == n) return d;
            if (body[p + 1] != '\n') return broken(p + 1);
            p += 2;
        } else {
            return broken(p);
        }
    }
}

Whole evaluateWhole(const std::string& reply) {
    Whole w;
    if (reply.empty()) return w;
    const std::size_t headerEnd = reply.find("\r\n\r\n");
    if (headerEnd == std::string::npos) {
        w.verdict = Whole::Verdict::NoHeaderEnd;
        return w;
    }
    const std::size_t bodyStart = headerEnd + 4;

    // Header fields: every line after the status line, up to the blank line.
    std::string coding;
    std::size_t lineStart = reply.find('\n');  // the status line is not read
    while (lineStart != std::string::npos && lineStart + 1 < bodyStart) {
        const std::size_t from = lineStart + 1;
        const std::size_t lf = reply.find('\n', from);
        const std::string line = reply.substr(from, lf - from);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            const std::string name = asciiLower(line.substr(0, colon));
            if (name == "transfer-encoding") coding = lastCoding(line.substr(colon + 1), coding);
            if (name == "content-length") w.hasContentLength = true;
        }
        lineStart = lf;
    }
    w.chunked = coding == "chunked";

    const std::string body = reply.substr(bodyStart);
    w.verdict = Whole::Verdict::Answer;
    if (w.chunked) {
        const Dechunked d = dechunk(body);
        const std::size_t lf = d.data.find('\n');
        w.line = d.data.substr(0, lf);
        w.settled = lf != std::string::npos || d.end != Dechunked::End::Incomplete;
        if (lf == std::string::npos && d.end != Dechunked::End::Ended)
            w.verdict = Whole::Verdict::BadFraming;
    } else {
        const std::size_t lf = body.find('\n');
        w.line = body.substr(0, lf);
        w.settled = lf != std::string::npos;
    }
    return w;
}

std::string formEncode(const std::string& bytes) {
    std::string out;
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        const bool alnum = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        if (alnum) {
            out += ch;
        } else if (b == ' ') {
            out += '+';
        } else {
            out += hex2(b);
        }
    }
    return out;
}

std::string escapeControlBytes(const std::string& bytes) {
    std::string out;
    for (char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        out += (b <= 0x20 || b == 0x7F) ? hex2(b) : std::string(1, ch);
    }
    return out;
}

void mismatch(const char* what, const std::string& detail) {
    std::fprintf(stderr, "disagreement: %s\n%s\n", what, detail.c_str());
    std::abort();
}

}  // namespace zelvofuzz
