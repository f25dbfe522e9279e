#include "prepare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "charset.h"

namespace zelvosend {

namespace {

Prepared fail(std::string error) {
    Prepared p;
    p.error = std::move(error);
    return p;
}

Prepared success(std::string value) {
    Prepared p;
    p.ok = true;
    p.value = std::move(value);
    return p;
}

std::string invalidUtf8(const char* what, std::size_t offset, const std::string& text) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s is not valid UTF-8 (byte 0x%02x at offset %zu)", what,
                  static_cast<unsigned char>(text[offset]), offset);
    return buf;
}

std::string notLatin1(const char* what, char32_t cp) {
    return std::string(what) + " holds " + zelvotools::describeCodePoint(cp) +
           ", which has no Latin-1 form; change it or use --replace to send \"?\" instead";
}

std::string percent(unsigned char b) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02x", b);
    return buf;
}

}  // namespace

Prepared prepareMessage(const std::string& utf8, bool replace, bool truncate) {
    const auto decoded = zelvotools::utf8ToUtf16(utf8);
    if (!decoded.valid) return fail(invalidUtf8("the message", decoded.badOffset, utf8));

    std::u16string text;
    text.reserve(decoded.text.size());
    for (std::size_t i = 0; i < decoded.text.size(); ++i) {
        const char16_t u = decoded.text[i];
        if (u == u'\r') {
            text += u'\n';
            if (i + 1 < decoded.text.size() && decoded.text[i + 1] == u'\n') ++i;
        } else {
            text += u;
        }
    }
    if (text.empty()) return fail("the message is empty");
    if (truncate && text.size() > kMessageLimit) {
        std::size_t keep = kMessageLimit;
        if (text[keep - 1] >= 0xD800 && text[keep - 1] < 0xDC00) --keep;  // a high surrogate
        text.resize(keep);
    }
    if (text.size() > kMessageLimit) {
        return fail("the message has " + std::to_string(text.size()) +
                    " characters; at most 160 are allowed (a line break counts one)");
    }
    const auto latin1 = zelvotools::utf16ToLatin1(text, replace);
    if (!latin1.ok) return fail(notLatin1("the message", latin1.unmappable));

    std::string escaped;
    escaped.reserve(latin1.bytes.size() + 16);
    for (char c : latin1.bytes) {
        if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return success(escaped);
}

Prepared prepareText(const char* name, const std::string& utf8, bool replace) {
    const auto decoded = zelvotools::utf8ToUtf16(utf8);
    if (!decoded.valid) return fail(invalidUtf8(name, decoded.badOffset, utf8));
    const auto latin1 = zelvotools::utf16ToLatin1(decoded.text, replace);
    if (!latin1.ok) return fail(notLatin1(name, latin1.unmappable));
    return success(latin1.bytes);
}

Prepared prepareRaw(const char* name, const std::string& value, bool allowSpace) {
    std::string out;
    for (char c : value) {
        const auto b = static_cast<unsigned char>(c);
        const bool printableAscii = b > 0x20 && b < 0x7F;
        if (!(printableAscii || (allowSpace && b == 0x20))) {
            return fail(std::string(name) + " may hold printable ASCII characters only" +
                        (allowSpace ? "" : ", no spaces"));
        }
        if (c == '%' || c == '+' || c == '&' || c == '#' || c == '=') {
            out += percent(b);
        } else {
            out += c;
        }
    }
    return success(out);
}

Prepared prepareReceiver(const std::string& value) {
    std::string digits;
    bool plus = false;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c == '+' && i == 0) {
            plus = true;
        } else if ((c == ' ' || c == '-' || c == '/') && !digits.empty()) {
            continue;
        } else {
            return fail("--to wants a phone number: an optional leading + and digits");
        }
    }
    if (digits.size() < 3 || digits.size() > 20) {
        return fail("--to wants a phone number of 3 to 20 digits");
    }
    return success(plus ? "%2b" + digits : digits);
}

bool parseHostPort(const std::string& text, int defaultPort, std::string* host, int* port) {
    const auto colon = text.rfind(':');
    std::string h = text;
    int p = defaultPort;
    if (colon != std::string::npos) {
        h = text.substr(0, colon);
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        p = std::stoi(digits);
    }
    if (h.empty() || h.find_first_of(" /?#@:") != std::string::npos) return false;
    if (p < 1 || p > 65535) return false;
    *host = h;
    *port = p;
    return true;
}

std::string withoutFinalLineEnd(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') text.pop_back();
    }
    return text;
}

bool messageText(const std::vector<std::string>& words, std::istream& in, std::string* utf8) {
    if (!words.empty()) {
        utf8->clear();
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (i > 0) *utf8 += ' ';
            *utf8 += words[i];
        }
        return true;
    }
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) return false;
    *utf8 = withoutFinalLineEnd(s.str());
    return true;
}

bool readKeyFile(const std::string& path, bool privateOnly, std::string* key, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *why = "cannot read the key file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    std::string content;
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && privateOnly && (st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = "the key file " + path + " may be read or written by others (mode " + mode +
               "); make it private: chmod o-rw " + path;
        ::close(fd);
        return false;
    }
    char buf[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            content.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            ok = false;
        }
    }
    if (!ok) *why = "cannot read the key file " + path + ": " + std::strerror(errno);
    ::close(fd);
    if (ok) *key = withoutFinalLineEnd(content);
    return ok;
}

std::string answerForTerminal(const std::string& cp1252) {
    return zelvotools::printable(zelvotools::cp1252ToUtf8(cp1252), "\\x0a");
}

}  // namespace zelvosend
