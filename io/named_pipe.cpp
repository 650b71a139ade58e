// Named pipes in world-writable /var/tmp.
#include "io/named_pipe.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

const char *opened_fifo::reason() const {
    return error == not_a_fifo ? "not a named pipe" : strerror(error);
}

opened_fifo open_fifo(const char *path, int flags) {
    opened_fifo result;
    result.fd.reset(open(path, flags | O_NOFOLLOW | O_CLOEXEC));
    if (!result.fd || fstat(result.fd.get(), &result.status) != 0) {
        result.error = errno;
        result.fd.reset();
    } else if (!S_ISFIFO(result.status.st_mode)) {
        result.error = opened_fifo::not_a_fifo;
        result.fd.reset();
    }
    return result;
}
