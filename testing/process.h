// A child program for the tools' tests: started with posix_spawn, its
// standard streams on pipes, every wait bounded. The child is killed when
// the object goes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zelvotest {

struct Finished {
    int status = -1;  // exit status, or 128 + signal, or -1 when it had to be killed
    std::string out;
    std::string err;
};

class Process {
  public:
    // `env` entries replace or add to this process's environment; an entry
    // with an empty value removes the variable.
    Process(const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& env = {}, const std::string& input = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Reads standard output until a whole line containing `needle` has
    // arrived or `timeoutMs` passed; returns that line, or "" on time-out.
    std::string waitForLine(const std::string& needle, int timeoutMs = 10000);

    void signal(int sig);

    // Waits at most `timeoutMs` for the end (then kills it) and collects
    // what is left of both streams.
    Finished finish(int timeoutMs = 20000);

  private:
    bool pump(int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::size_t scanned_ = 0;
    bool reaped_ = false;
};

// Runs a program to its end with the given input.
Finished run(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = {}, const std::string& input = "",
             int timeoutMs = 20000);

}  // namespace zelvotest
