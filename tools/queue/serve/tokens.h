// The tokens of `zelvo-queue serve`: who may send, read or manage the queue
// over HTTP. Only a token's SHA-256 is ever stored; the token itself is shown
// once, when it is made.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zelvoqueue {

// What a token may do. admin includes read; read does NOT include send.
enum class Scope { Send, Read, Admin };
const char* scopeName(Scope);  // "send", "read", "admin"
std::optional<Scope> scopeFromName(const std::string&);

struct TokenEntry {
    std::string name;
    Scope scope;
};

// A token's name: [A-Za-z0-9._-]{1,64}.
bool validTokenName(const std::string&);

// One line of the token file, as read.
struct StoredToken {
    std::string name;
    Scope scope;
    std::array<unsigned char, 32> hash;  // SHA-256 of the token
};

// Where a file's content came from: a file that differs in any of these
// was replaced or changed (ctime and mode also catch a chmod).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{}, ctime{};
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    bool operator==(const FileIdentity&) const;
};

// The token file, read whole.
struct TokenFile {
    std::string text;
    std::vector<StoredToken> entries;
    FileIdentity identity;
};

// Reads and checks the token file: one line per token, "NAME SCOPE SHA256HEX",
// '#' to the end of a line a comment, blank lines ignored; no name and no hash
// twice. A file that others (not owner, not group) may read or write is
// refused, as is a malformed line. False with the reason (path, line) in
// `why`, and errno's value in `error` (0 for a file that is there but
// refused: others may use it, or a malformed line).
bool readTokenFile(const std::string& path, TokenFile* file, std::string* why,
                   int* error = nullptr);

// The token file: one line per token, "NAME SCOPE SHA256HEX" (comments with
// '#', blank lines ignored). Only the hash of a token is stored. Thread-safe.
class Tokens {
  public:
    explicit Tokens(std::string path);
    // Reads the file; false with the reason (path, line) in *why. A file that
    // others (not owner, not group) may read or write is refused, as is a
    // malformed line. On failure the tokens read before stay.
    bool load(std::string* why);
    // The entry whose hash matches the presented token, or nullopt. Compares
    // every entry's hash in constant time (no early exit on the first
    // differing byte; all entries). Before looking, re-reads the file if it
    // changed (stat: mtime with nanoseconds, size, inode, also ctime and
    // mode), checking at most once a second; a changed file that cannot be
    // used keeps the previous tokens and the reason is kept for lastError().
    // Never throws (it runs in the server's callbacks): a failure finds nothing.
    std::optional<TokenEntry> find(const std::string& presented) noexcept;
    // Why the last reading of the file failed; empty after one that worked.
    std::string lastError() const;
    const std::string& path() const { return path_; }

  private:
    bool loadLocked(std::string* why);

    const std::string path_;
    mutable std::mutex mutex_;
    std::vector<StoredToken> entries_;
    FileIdentity identity_;
    bool loaded_ = false;
    std::chrono::steady_clock::time_point checked_{};
    std::string lastError_;
};

// A new token: "zq_" followed by 32 random bytes (getrandom) as 64 hex digits.
// Throws std::system_error when the kernel gives no random bytes.
std::string makeToken();

// SHA-256 of `text` as 64 lowercase hex digits (GnuTLS). Throws
// std::runtime_error when the digest is not available.
std::string sha256Hex(const std::string& text);

}  // namespace zelvoqueue
