// Taking turns through the kernel's file locks: its waiters are served in
// the order they asked, which a sleep-and-retry loop is not.
#pragma once

#include <string>

namespace zelvoqueue {

// Waits up to `seconds` for an exclusive lock on `fd`: the whole file
// (flock) when `slot` is negative, else the one byte at offset `slot` (an
// open-file-description lock; `fd` must be open for writing). False when
// the time ran out or the lock cannot be had.
bool lockWithin(int fd, double seconds, long slot = -1);

// Opens the lock file `path` (readable and writable where the file's mode
// allows, else readable), creating it with the owner, group and permissions
// of `like` (when that exists) or with mode `mode`. -1 when it cannot be
// opened.
int openLockFile(const std::string& path, const std::string& like, unsigned mode = 0660);

}  // namespace zelvoqueue
