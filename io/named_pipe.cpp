// Named pipes in world-writable /var/tmp.
#include "io/named_pipe.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int name_attempts = 16;

// path + "." + twelve random hex digits: a name nobody can have made ready.
std::string random_name_beside(const char *path) {
    unsigned char noise[6] = {};
    (void)getrandom(noise, sizeof noise, GRND_NONBLOCK);
    char suffix[2 * sizeof noise + 1];
    for (std::size_t i = 0; i < sizeof noise; ++i) {
        (void)snprintf(suffix + 2 * i, 3, "%02x", noise[i]);
    }
    return std::string(path) + "." + suffix;
}

// A new pipe of ours under a fresh name, opened; its name in *name.
opened_fifo make_fresh_fifo(const char *path, int flags, std::string *name) {
    opened_fifo pipe;
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        *name = random_name_beside(path);
        if (mkfifo(name->c_str(), 0600) == 0) {
            return open_fifo(name->c_str(), flags);
        }
        pipe.error = errno;
        if (pipe.error != EEXIST) {
            break;
        }
    }
    name->clear();
    return pipe;
}

}  // namespace

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

opened_fifo replace_with_private_fifo(const char *path, int flags) {
    std::string name;
    opened_fifo pipe = make_fresh_fifo(path, flags, &name);
    if (pipe.fd && pipe.status.st_uid != geteuid()) {
        // Someone else's pipe under our fresh name: never ours to use.
        pipe.fd.reset();
        pipe.error = EPERM;
    }
    if (pipe.fd && rename(name.c_str(), path) != 0) {
        pipe.error = errno;
        pipe.fd.reset();
    }
    if (!pipe.fd && !name.empty()) {
        (void)unlink(name.c_str());
    }
    return pipe;
}

const char *file_kind(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFIFO:
            return "a named pipe";
        case S_IFLNK:
            return "a symbolic link";
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
        case S_IFBLK:
            return "a device";
        default:
            return "an unknown file";
    }
}
