#include "outbox.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zelvogw {

Outbox::~Outbox() {
    if (fd_ >= 0) ::close(fd_);
}

bool Outbox::open(const std::string& path, std::string* error) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd_ < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Outbox::append(const std::string& line, std::string* error) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::string data;
    if (brokenLine_) data += '\n';
    data += line;
    data += '\n';
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = std::string("outbox write: ") + std::strerror(n < 0 ? errno : EIO);
            brokenLine_ = done > 0 || brokenLine_;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    brokenLine_ = false;
    if (::fsync(fd_) != 0) {
        *error = std::string("outbox fsync: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace zelvogw
