// The simulator's request log on standard output, written by a thread of
// its own so that a reader who stops reading (a full pipe, a paused
// terminal) never holds up an answer. When lines pile up beyond the
// capacity, the newest are dropped and a count of them is written once the
// output moves again. The outbox, not this log, is the record of messages.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace zelvogw {

class LineLog {
  public:
    LineLog(int fd, std::size_t capacity);
    ~LineLog();  // close(2000)
    LineLog(const LineLog&) = delete;
    LineLog& operator=(const LineLog&) = delete;

    // Queues one line (a line feed is added); never blocks on the output.
    void post(std::string line);

    // Writes what is queued, waiting at most waitMs for a blocked output;
    // lines still queued then are given up.
    void close(int waitMs);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace zelvogw
