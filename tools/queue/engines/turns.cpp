#include "turns.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <mutex>

namespace zelvoqueue {

namespace {

// The signal that ends a wait for a lock: a handler that does nothing,
// installed without SA_RESTART, so that the waiting call returns EINTR.
int wakeSignal() {
    static std::once_flag once;
    static const int signo = SIGRTMIN + 3;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_handler = [](int) {};
        sigemptyset(&sa.sa_mask);
        ::sigaction(signo, &sa, nullptr);
    });
    return signo;
}

int lockNow(int fd, long slot, bool wait) {
    if (slot < 0) return ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    struct flock byte {};
    byte.l_type = F_WRLCK;
    byte.l_whence = SEEK_SET;
    byte.l_start = slot;
    byte.l_len = 1;
    return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &byte);
}

}  // namespace

bool lockWithin(int fd, double seconds, long slot) {
    if (lockNow(fd, slot, false) == 0) return true;
    if ((errno != EWOULDBLOCK && errno != EAGAIN && errno != EACCES) || seconds <= 0) return false;
    // A timer that signals this thread at the deadline and every 10 ms after
    // it, so that a signal that comes before the call blocks is not lost.
    sigevent ev{};
    ev.sigev_notify = SIGEV_THREAD_ID;
    ev.sigev_signo = wakeSignal();
    ev._sigev_un._tid = ::gettid();  // sigev_notify_thread_id in newer headers
    timer_t timer{};
    if (::timer_create(CLOCK_MONOTONIC, &ev, &timer) != 0) return false;
    itimerspec when{};
    const double whole = std::floor(seconds);
    when.it_value.tv_sec = static_cast<time_t>(whole);
    when.it_value.tv_nsec = static_cast<long>((seconds - whole) * 1e9) + 1;
    when.it_interval.tv_nsec = 10 * 1000 * 1000;
    ::timer_settime(timer, 0, &when, nullptr);
    const int rc = lockNow(fd, slot, true);
    ::timer_delete(timer);
    return rc == 0;
}

int openLockFile(const std::string& path, const std::string& like, unsigned mode) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) return fd;
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return fd;
    struct stat st {};
    if (!like.empty() && ::stat(like.c_str(), &st) == 0) {
        // Whoever can use the database can take its turn: the database's
        // owner, group and permissions.
        if (::geteuid() == 0 && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
        }
        ::fchmod(fd, (st.st_mode & 0666) | 0440);
    } else {
        ::fchmod(fd, mode);
    }
    return fd;
}

}  // namespace zelvoqueue
