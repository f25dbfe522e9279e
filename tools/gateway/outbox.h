// The outbox: one JSON line per accepted message, appended to a file and
// forced to disk before the gateway says "OK".
#pragma once

#include <mutex>
#include <string>

namespace zelvogw {

class Outbox {
  public:
    Outbox() = default;
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Opens (or creates) the file for appending; earlier lines are kept.
    bool open(const std::string& path, std::string* error);

    // Appends `line` and a line feed as one write and waits until the data
    // is on disk. False when any of it failed: the message is then not
    // stored and must not be confirmed. An incomplete line left behind by a
    // failure is ended, so the next line starts on a line of its own.
    bool append(const std::string& line, std::string* error);

  private:
    std::mutex mutex_;
    int fd_ = -1;
    bool brokenLine_ = false;
};

}  // namespace zelvogw
