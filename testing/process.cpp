#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "peer.h"

extern char** environ;

namespace zelvotest {

namespace {

using Clock = std::chrono::steady_clock;

// Input for the child's standard input: a deleted temporary file.
int inputFile(const std::string& input) {
    char path[] = "/tmp/zelvo-stdin-XXXXXX";
    const int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    unlink(path);
    std::size_t done = 0;
    while (done < input.size()) {
        const ssize_t n = write(fd, input.data() + done, input.size() - done);
        if (n <= 0) throw std::runtime_error("writing the child's input failed");
        done += static_cast<std::size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

}  // namespace

Process::Process(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::string& input) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : env) {
        if (v.empty()) {
            merged.erase(k);
        } else {
            merged[k] = v;
        }
    }
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args) argp.push_back(s.data());
    argp.push_back(nullptr);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const int in = inputFile(input);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The child starts with default signal handling and an empty mask.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int rc = posix_spawn(&pid_, argp[0], &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(in);
    close(out[1]);
    close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    if (rc != 0) {
        close(outFd_);
        close(errFd_);
        outFd_ = errFd_ = -1;
        throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
    }
}

Process::~Process() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
    if (errFd_ >= 0) close(errFd_);
}

// Reads what is available on either stream, waiting at most timeoutMs.
// False once both streams are at their end.
bool Process::pump(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) return false;
    const int n = poll(fds, 2, timeoutMs);
    if (n <= 0) return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buf[4096];
        const ssize_t got = read(fds[i].fd, buf, sizeof buf);
        if (got > 0) {
            (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(fds[i].fd);
            (i == 0 ? outFd_ : errFd_) = -1;
        }
    }
    return outFd_ >= 0 || errFd_ >= 0;
}

std::string Process::waitForLine(const std::string& needle, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (;;) {
            const auto end = out_.find('\n', scanned_);
            if (end == std::string::npos) break;
            const std::string line = out_.substr(scanned_, end - scanned_);
            scanned_ = end + 1;
            if (line.find(needle) != std::string::npos) return line;
        }
        const int left = msLeft(deadline);
        if (left == 0 || !pump(left)) return "";
    }
}

void Process::signal(int sig) {
    if (!reaped_ && pid_ > 0) kill(pid_, sig);
}

Finished Process::finish(int timeoutMs) {
    Finished f;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (msLeft(deadline) > 0 && pump(msLeft(deadline))) {
    }
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 && msLeft(deadline) > 0) {
        usleep(10000);
    }
    if (done == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        f.status = -1;
    } else if (WIFEXITED(status)) {
        f.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        f.status = 128 + WTERMSIG(status);
    }
    reaped_ = true;
    f.out = out_;
    f.err = err_;
    return f;
}

Finished run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& input, int timeoutMs) {
    Process p(argv, env, input);
    return p.finish(timeoutMs);
}

}  // namespace zelvotest
