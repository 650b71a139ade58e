// Named pipes in world-writable /var/tmp, for the daemon and pairgate-pair.
// C++ only; not installed.
#pragma once

#include <sys/stat.h>

#include "io/descriptors.h"

// What open_fifo found: the descriptor, or why there is none.
struct opened_fifo {
    static constexpr int not_a_fifo = -1;  // error: the path holds something else

    unique_fd fd;
    int error = 0;  // errno of open() or fstat(), or not_a_fifo
    struct stat status {};

    // The reason, for a log line or a message.
    const char *reason() const;
};

// Opens path with flags, adding O_NOFOLLOW and O_CLOEXEC, and keeps it only
// when it is a named pipe. A link or a file planted at a pipe's path must not
// make anyone read, log or overwrite some other file.
opened_fifo open_fifo(const char *path, int flags);
