#include "line_log.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace zelvogw {

struct LineLog::State {
    int fd;
    std::size_t capacity;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> queue;
    std::size_t dropped = 0;
    bool closing = false;
    bool idle = true;  // the writer waits for lines (nothing in its hands)
};

namespace {

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the output is gone: nothing more to do for this line
        done += static_cast<std::size_t>(n);
    }
}

void writer(std::shared_ptr<LineLog::State> s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
        s->changed.wait(lock, [&s] { return !s->queue.empty() || s->dropped > 0 || s->closing; });
        if (s->queue.empty() && s->dropped == 0) return;  // closing, all written
        std::string text;
        while (!s->queue.empty()) {
            text += s->queue.front();
            s->queue.pop_front();
        }
        if (s->dropped > 0) {
            text +=
                "(" + std::to_string(s->dropped) + " log lines dropped: the output was not read)\n";
            s->dropped = 0;
        }
        s->idle = false;
        lock.unlock();
        writeAll(s->fd, text);
        lock.lock();
        s->idle = true;
        s->changed.notify_all();
    }
}

}  // namespace

LineLog::LineLog(int fd, std::size_t capacity) : state_(std::make_shared<State>()) {
    state_->fd = fd;
    state_->capacity = capacity;
    // The writer owns a share of the state: it may outlive this object when
    // the output stays blocked at the end.
    std::thread(writer, state_).detach();
}

LineLog::~LineLog() {
    close(2000);
}

void LineLog::post(std::string line) {
    line += '\n';
    const std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->closing) return;
    if (state_->queue.size() >= state_->capacity) {
        ++state_->dropped;
    } else {
        state_->queue.push_back(std::move(line));
    }
    state_->changed.notify_all();
}

void LineLog::close(int waitMs) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (state_->closing) return;
    state_->closing = true;
    state_->changed.notify_all();
    state_->changed.wait_for(lock, std::chrono::milliseconds(waitMs), [this] {
        return state_->idle && state_->queue.empty() && state_->dropped == 0;
    });
}

}  // namespace zelvogw
