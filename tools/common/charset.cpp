#include "charset.h"

#include <cstdio>

namespace zelvotools {

std::string utf8Of(char32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

std::string latin1ToUtf8(const std::string& latin1) {
    std::string out;
    out.reserve(latin1.size() * 2);
    for (char c : latin1) out += utf8Of(static_cast<unsigned char>(c));
    return out;
}

std::string cp1252ToUtf8(const std::string& bytes) {
    // 0x80 to 0x9F; 0 marks the five undefined bytes.
    static const char16_t kHigh[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 && b <= 0x9F) {
            const char16_t u = kHigh[b - 0x80];
            out += utf8Of(u != 0 ? u : 0xFFFD);
        } else {
            out += utf8Of(b);
        }
    }
    return out;
}

Utf16Result utf8ToUtf16(const std::string& utf8) {
    Utf16Result r;
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        std::size_t len = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            len = 1;
            cp = b0;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
            cp = b0 & 0x1Fu;
            min = 0x80;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            cp = b0 & 0x0Fu;
            min = 0x800;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            cp = b0 & 0x07u;
            min = 0x10000;
        }
        bool ok = len != 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80) {
                ok = false;
            } else {
                cp = (cp << 6) | (b & 0x3Fu);
            }
        }
        // Overlong forms, surrogates and values beyond U+10FFFF are invalid.
        if (ok && (cp < min || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)) ok = false;
        if (!ok) {
            r.valid = false;
            r.badOffset = i;
            return r;
        }
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            r.text += static_cast<char16_t>(0xD800 + (v >> 10));
            r.text += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            r.text += static_cast<char16_t>(cp);
        }
        i += len;
    }
    return r;
}

Latin1Result utf16ToLatin1(const std::u16string& text, bool replace) {
    Latin1Result r;
    r.bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u <= 0xFF) {
            r.bytes += static_cast<char>(static_cast<unsigned char>(u));
            continue;
        }
        if (replace) {
            r.bytes += '?';
            continue;
        }
        r.ok = false;
        r.unmappable = u;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size()) {
            const char16_t low = text[i + 1];
            if (low >= 0xDC00 && low <= 0xDFFF) {
                r.unmappable = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                               (static_cast<char32_t>(low) - 0xDC00);
            }
        }
        return r;
    }
    return r;
}

std::string describeCodePoint(char32_t cp) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(cp));
    std::string out = code;
    const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
    const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    if (!control && !surrogate) out += " \"" + utf8Of(cp) + "\"";
    return out;
}

std::string printable(const std::string& utf8, const std::string& lineBreak) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0u;
        char hex[8];
        if (b == '\n') {
            out += lineBreak;
        } else if (b < 0x20 || b == 0x7F) {
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            out += hex;
        } else if (b == 0xC2 && next >= 0x80 && next <= 0x9F) {
            // A C1 control, U+0080 to U+009F.
            std::snprintf(hex, sizeof hex, "\\x%02x", next);
            out += hex;
            ++i;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

}  // namespace zelvotools
