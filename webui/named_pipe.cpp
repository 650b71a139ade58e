// Opening a named pipe and nothing else.
#include "webui/named_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

int open_named_pipe(const char *path, int flags, const char **reason) {
    const int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *reason = strerror(errno);
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        *reason = "not a named pipe";
        close(fd);
        return -1;
    }
    return fd;
}
