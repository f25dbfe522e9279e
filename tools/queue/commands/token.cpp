#include "token.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "tokens.h"

namespace zelvoqueue {

namespace {

enum Exit {
    kOk = 0,
    kNotDone = 1,  // no such name, or the name exists
    kStorage = 2,  // the token file cannot be read or written, or others may read it
    kUsage = 64,
};

constexpr char kDefaultFile[] = "/etc/zelvo/tokens";

constexpr char kFooter[] =
    "The token file is --tokens FILE, else $ZELVO_QUEUE_TOKENS, else [serve] tokens of\n"
    "the configuration, /etc/zelvo/tokens; serve reads the same. One line per token:\n"
    "NAME SCOPE SHA256 of the token. The token itself is printed once by add and\n"
    "stored nowhere. Scopes: send, read and admin; admin may do all that send and\n"
    "read may, and retry and drop.\n"
    "\n"
    "Exit status: 0 done; 1 no such name (remove) or the name exists (add); 2 the\n"
    "file cannot be read or written, or others may read it; 64 usage error.";

constexpr char kNameRule[] = "1 to 64 of the characters A-Z a-z 0-9 . _ -";

int fail(int code, const std::string& what) {
    std::cerr << "zelvo-queue: " << what << "\n";
    return code;
}

std::string failure(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + path + ": " + std::strerror(errno);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    int get() const { return fd_; }
    // False when the last writes could not be completed.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

// A temporary file that is removed unless it was renamed into place.
struct TempFile {
    std::string path;
    bool kept = false;
    ~TempFile() {
        if (!path.empty() && !kept) ::unlink(path.c_str());
    }
};

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The first word of a line, comments aside: the name of a token's line.
std::string nameOf(const std::string& line) {
    const std::string text = line.substr(0, line.find('#'));
    const auto from = text.find_first_not_of(" \t\r");
    if (from == std::string::npos) return "";
    return text.substr(from, text.find_first_of(" \t\r", from) - from);
}

// Replaces the file at `path` by `text`, whole: a temporary file in the same
// directory, written and synced, renamed over it, and the directory synced,
// so that a running server reads the old file or the new one, never half of
// one. An existing file keeps its mode, owner and group; a new one gets mode
// 0640 and the directory's group.
bool replaceFile(const std::string& path, const std::string& text, const TokenFile* existing,
                 int dir, std::string* why) {
    const std::string name = path.substr(path.rfind('/') + 1);
    std::vector<char> pattern;
    const std::string base = directoryOf(path) + "/." + name + ".XXXXXX";
    pattern.assign(base.begin(), base.end());
    pattern.push_back('\0');
    Fd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        *why = failure("create a file in", directoryOf(path));
        return false;
    }
    TempFile temp{pattern.data()};
    if (existing) {
        const FileIdentity& was = existing->identity;
        if (::fchown(fd.get(), was.owner, was.group) != 0) {
            *why = failure("keep the owner and group of", path);
            return false;
        }
        if (::fchmod(fd.get(), was.mode & 07777) != 0) {
            *why = failure("keep the mode of", path);
            return false;
        }
    } else {
        struct stat st {};
        if (::fstat(dir, &st) == 0 && ::fchown(fd.get(), static_cast<uid_t>(-1), st.st_gid) != 0) {
            std::cerr << "zelvo-queue: " << failure("give the directory's group to", path)
                      << "; it keeps the group of this user\n";
        }
        if (::fchmod(fd.get(), 0640) != 0) {
            *why = failure("set the mode of", temp.path);
            return false;
        }
    }
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *why = failure("write", temp.path);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || !fd.close()) {
        *why = failure("write", temp.path);
        return false;
    }
    if (::rename(temp.path.c_str(), path.c_str()) != 0) {
        *why = failure("rename " + temp.path + " to", path);
        return false;
    }
    temp.kept = true;
    if (::fsync(dir) != 0) {
        *why = failure("sync the directory of", path);
        return false;
    }
    return true;
}

int list(const std::string& path) {
    TokenFile file;
    std::string why;
    if (!readTokenFile(path, &file, &why)) return fail(kStorage, why);
    for (const StoredToken& t : file.entries)
        std::cout << t.name << " " << scopeName(t.scope) << "\n";
    std::cout.flush();
    return kOk;
}

// add and remove: the file is read, changed and replaced under an exclusive
// lock on its directory, so that two of them at once lose neither change.
int change(const std::string& option, const TokenArgs& a) {
    std::string path = tokenFilePath(option);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        if (!::realpath(path.c_str(), target)) return fail(kStorage, failure("follow", path));
        path = target;  // the link stays, its target is replaced
    }
    const Fd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) return fail(kStorage, failure("open the directory", directoryOf(path)));
    while (::flock(dir.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return fail(kStorage, failure("lock the directory", directoryOf(path)));
    }
    TokenFile file;
    std::string why;
    int error = 0;
    bool missing = false;
    if (!readTokenFile(path, &file, &why, &error)) {
        if (a.action != "add" || error != ENOENT) return fail(kStorage, why);
        missing = true;
        file.text =
            "# The tokens of zelvo-queue serve: NAME SCOPE SHA256 of the token, one per line.\n"
            "# Written by zelvo-queue token; the tokens themselves are stored nowhere.\n";
    }
    bool exists = false;
    for (const StoredToken& t : file.entries) exists = exists || t.name == a.name;

    std::string text, token;
    if (a.action == "add") {
        if (exists) {
            return fail(kNotDone, "a token named " + a.name + " exists already in " + path +
                                      "; remove it first to replace it");
        }
        try {
            token = makeToken();
            text = file.text;
            if (!text.empty() && text.back() != '\n') text += '\n';
            text += a.name + " " + a.scope + " " + sha256Hex(token) + "\n";
        } catch (const std::exception& e) {
            return fail(kStorage, std::string("cannot make a token: ") + e.what());
        }
    } else {
        if (!exists) return fail(kNotDone, "no token named " + a.name + " in " + path);
        for (std::size_t at = 0; at < file.text.size();) {
            const std::size_t end = std::min(file.text.find('\n', at), file.text.size() - 1);
            const std::string line = file.text.substr(at, end + 1 - at);
            if (nameOf(line) != a.name) text += line;
            at = end + 1;
        }
    }
    if (!replaceFile(path, text, missing ? nullptr : &file, dir.get(), &why)) {
        return fail(kStorage, why);
    }
    if (a.action == "add") {
        std::cout << token << std::endl;
        if (!std::cout) {
            return fail(kStorage, "the token " + a.name +
                                      " was stored but could not be printed; remove it and add "
                                      "it again");
        }
    }
    return kOk;
}

}  // namespace

std::string tokenFilePath(const std::string& option) {
    if (!option.empty()) return option;
    const char* env = std::getenv("ZELVO_QUEUE_TOKENS");
    return env && *env ? env : kDefaultFile;
}

CLI::App* addTokenCommand(CLI::App& app, TokenArgs* args) {
    auto* cmd = app.add_subcommand("token", "the tokens of serve: add, list, remove");
    cmd->footer(kFooter);
    cmd->require_subcommand(1);
    cmd->add_option("--tokens", args->file,
                    "the token file (default: $ZELVO_QUEUE_TOKENS, else [serve] tokens, " +
                        std::string(kDefaultFile) + ")")
        ->type_name("FILE");
    auto* add = cmd->add_subcommand("add", "make a token, print it once, store its hash");
    add->add_option("name", args->name, kNameRule)->required()->type_name("NAME");
    add->add_option("--scope", args->scope, "what it may do")
        ->required()
        ->check(CLI::IsMember({"send", "read", "admin"}))
        ->type_name("send|read|admin");
    auto* list = cmd->add_subcommand("list", "the tokens' names and scopes");
    auto* remove = cmd->add_subcommand("remove", "revoke a token");
    remove->add_option("name", args->name)->required()->type_name("NAME");
    for (auto* sub : {add, list, remove}) {
        sub->callback([args, sub] { args->action = sub->get_name(); });
    }
    return cmd;
}

int tokenCommand(const TokenArgs& a) {
    if (a.action == "list") return list(tokenFilePath(a.file));
    if (a.action != "add" && a.action != "remove")
        return fail(kUsage, "token: add, list or remove");
    if (!validTokenName(a.name)) {
        return fail(kUsage, std::string("NAME: ") + kNameRule);
    }
    return change(a.file, a);
}

}  // namespace zelvoqueue
