#include "tokens.h"

#include <fcntl.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <system_error>

#include "store.h"

namespace zelvoqueue {

namespace {

using Hash = std::array<unsigned char, 32>;

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

bool sha256(const std::string& text, Hash* out) {
    return gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), out->data()) == 0;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHash(const std::string& text, Hash* out) {
    if (text.size() != 2 * out->size()) return false;
    for (std::size_t i = 0; i < out->size(); ++i) {
        const int high = hexDigit(text[2 * i]), low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        (*out)[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

FileIdentity identityOf(const struct stat& st) {
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
    id.ctime = st.st_ctim;
    id.mode = st.st_mode;
    id.owner = st.st_uid;
    id.group = st.st_gid;
    return id;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t\r", at);
        if (at == std::string::npos) return out;
        const std::size_t end = line.find_first_of(" \t\r", at);
        out.push_back(line.substr(at, end == std::string::npos ? end : end - at));
        at = end;
    }
}

// The entries of the file's text. The words of a line that is refused are
// never quoted: a token pasted where its hash belongs must not reach a log.
bool parse(const std::string& path, const std::string& text, std::vector<StoredToken>* entries,
           std::string* why) {
    std::map<std::string, std::size_t> names;
    std::map<Hash, std::size_t> hashes;
    std::size_t number = 0;
    for (std::size_t at = 0; at < text.size(); ++number) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string line = text.substr(at, end - at);
        at = end + 1;
        line = line.substr(0, line.find('#'));
        const auto w = words(line);
        if (w.empty()) continue;
        const std::string where = path + ", line " + std::to_string(number + 1) + ": ";
        if (w.size() != 3) {
            *why =
                where + "wants NAME SCOPE SHA256HEX, found " + std::to_string(w.size()) + " words";
            return false;
        }
        StoredToken t{w[0], Scope::Send, {}};
        const auto scope = scopeFromName(w[1]);
        if (!validTokenName(w[0])) {
            *why = where + "a name is 1 to 64 of the characters A-Z a-z 0-9 . _ -";
            return false;
        }
        if (!scope) {
            *why = where + "the scope is send, read or admin";
            return false;
        }
        t.scope = *scope;
        if (!parseHash(w[2], &t.hash)) {
            *why = where + "the third word is not a SHA-256 (64 hex digits); the file holds " +
                   "the hash of a token, never the token";
            return false;
        }
        if (const auto [it, fresh] = names.emplace(t.name, number + 1); !fresh) {
            *why = where + "the name " + t.name + " is taken by line " + std::to_string(it->second);
            return false;
        }
        if (const auto [it, fresh] = hashes.emplace(t.hash, number + 1); !fresh) {
            *why = where + "the same token as line " + std::to_string(it->second);
            return false;
        }
        entries->push_back(std::move(t));
    }
    return true;
}

}  // namespace

const char* scopeName(Scope scope) {
    switch (scope) {
        case Scope::Send:
            return "send";
        case Scope::Read:
            return "read";
        case Scope::Admin:
            return "admin";
    }
    return "?";
}

std::optional<Scope> scopeFromName(const std::string& name) {
    for (Scope s : {Scope::Send, Scope::Read, Scope::Admin}) {
        if (name == scopeName(s)) return s;
    }
    return std::nullopt;
}

bool validTokenName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

bool FileIdentity::operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec && mode == o.mode &&
           owner == o.owner && group == o.group;
}

bool readTokenFile(const std::string& path, TokenFile* file, std::string* why, int* error) {
    int ignored = 0;
    if (!error) error = &ignored;
    *error = 0;
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        *error = errno;
        *why = "cannot read the token file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "the token file " + path + " is not a regular file";
        return false;
    }
    if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        *why = "the token file " + path + " may be read or written by others (mode " + mode +
               "); make it private: chmod o-rw " + path;
        return false;
    }
    std::string text;
    char buf[4096];
    while (true) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            *error = errno;
            *why = "cannot read the token file " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    std::vector<StoredToken> entries;
    if (!parse(path, text, &entries, why)) return false;
    file->text = std::move(text);
    file->entries = std::move(entries);
    file->identity = identityOf(st);
    return true;
}

Tokens::Tokens(std::string path) : path_(std::move(path)) {}

bool Tokens::load(std::string* why) {
    std::lock_guard<std::mutex> lock(mutex_);
    checked_ = std::chrono::steady_clock::now();
    std::string reason;
    const bool ok = loadLocked(&reason);
    if (why) *why = reason;
    return ok;
}

bool Tokens::loadLocked(std::string* why) {
    TokenFile file;
    if (!readTokenFile(path_, &file, why)) {
        lastError_ = *why;
        return false;
    }
    entries_ = std::move(file.entries);
    identity_ = file.identity;
    loaded_ = true;
    lastError_.clear();
    return true;
}

std::optional<TokenEntry> Tokens::find(const std::string& presented) noexcept {
    // Called from the server's request callbacks: nothing is thrown from
    // here, a failure finds no token.
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        if (!loaded_ || now - checked_ >= std::chrono::seconds(1)) {
            checked_ = now;
            struct stat st {};
            if (!loaded_ || ::stat(path_.c_str(), &st) != 0 || !(identityOf(st) == identity_)) {
                std::string why;
                loadLocked(&why);
            }
        }
        Hash wanted{};
        if (!sha256(presented, &wanted)) return std::nullopt;
        // Every entry is compared whole, in time that does not depend on
        // where the hashes differ; only the verdict picks the entry.
        const StoredToken* match = nullptr;
        for (const StoredToken& t : entries_) {
            const bool equal = gnutls_memcmp(t.hash.data(), wanted.data(), wanted.size()) == 0;
            if (equal && !match) match = &t;
        }
        if (!match) return std::nullopt;
        return TokenEntry{match->name, match->scope};
    } catch (...) {
        return std::nullopt;
    }
}

std::string Tokens::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

std::string makeToken() {
    return "zq_" + randomHex(32);
}

std::string sha256Hex(const std::string& text) {
    Hash h{};
    if (!sha256(text, &h)) throw std::runtime_error("SHA-256 is not available");
    return toHex(h.data(), h.size());
}

}  // namespace zelvoqueue
