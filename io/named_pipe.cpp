// Named pipes in world-writable /var/tmp.
#include "io/named_pipe.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// How often a fresh name is drawn, and how often the pipe's rename is tried
// while the path keeps changing under it (a directory made there, then gone).
constexpr int name_attempts = 16;
constexpr std::size_t noise_bytes = 6;

// A name beside path that nobody can have made ready.
struct fresh_name {
    char text[PATH_MAX];
};

// path + "." + twelve random hex digits; false when that does not fit.
bool random_name_beside(const char *path, fresh_name *name) {
    unsigned char noise[noise_bytes] = {};
    (void)getrandom(noise, sizeof noise, GRND_NONBLOCK);
    const int length = snprintf(name->text, sizeof name->text, "%s.%02x%02x%02x%02x%02x%02x", path,
                                noise[0], noise[1], noise[2], noise[3], noise[4], noise[5]);
    return length > 0 && static_cast<std::size_t>(length) < sizeof name->text;
}

// Renames the directory at path to a fresh name beside it, never over
// anything (an empty directory planted under the fresh name would otherwise
// vanish), where the file system cannot swap it (jffs2). 0 or errno.
int move_directory_aside(const char *path, moved_directory *moved) {
    struct stat found {};
    if (lstat(path, &found) != 0) {
        return errno;
    }
    fresh_name name{};
    int error = ENAMETOOLONG;
    for (int attempt = 0; attempt < name_attempts && random_name_beside(path, &name); ++attempt) {
        if (renameat2(AT_FDCWD, path, AT_FDCWD, name.text, RENAME_NOREPLACE) == 0) {
            static_assert(sizeof moved->moved_to == sizeof name.text, "one size of path");
            memcpy(moved->moved_to, name.text, sizeof name.text);
            moved->owner = found.st_uid;
            return 0;
        }
        error = errno;
        if (error != EEXIST) {
            break;
        }
    }
    return error;
}

// Notes the directory that an exchange put under `fresh`, and whose it is.
void note_moved_directory(const char *fresh, moved_directory *moved) {
    struct stat found {};
    memcpy(moved->moved_to, fresh, sizeof moved->moved_to);
    moved->owner = lstat(fresh, &found) == 0 ? found.st_uid : 0;
}

// Puts the pipe under its fresh name in the place of path. A directory there
// cannot be renamed over; it is swapped with the pipe in one step instead, so
// that it ends up under the fresh name and nobody can make another one at
// path in between. 0 or errno.
int rename_over(const char *fresh, const char *path, opened_fifo *pipe) {
    for (int attempt = 0; attempt < name_attempts; ++attempt) {
        if (rename(fresh, path) == 0) {
            return 0;
        }
        if (errno != EISDIR) {
            return errno;
        }
        if (renameat2(AT_FDCWD, fresh, AT_FDCWD, path, RENAME_EXCHANGE) == 0) {
            note_moved_directory(fresh, &pipe->moved);
            return 0;
        }
        const int error = errno == EINVAL ? move_directory_aside(path, &pipe->moved) : errno;
        if (error != 0 && error != ENOENT) {
            return error;
        }
        // The directory went away before the swap, or was moved: try again.
    }
    return EISDIR;  // a directory came back every time
}

// A new pipe of ours under a fresh name, opened; its name in *name (empty
// when none was made).
opened_fifo make_fresh_fifo(const char *path, int flags, fresh_name *name) {
    opened_fifo pipe;
    pipe.error = ENAMETOOLONG;
    for (int attempt = 0; attempt < name_attempts && random_name_beside(path, name); ++attempt) {
        if (mkfifo(name->text, 0600) == 0) {
            return open_fifo(name->text, flags);
        }
        pipe.error = errno;
        if (pipe.error != EEXIST) {
            break;
        }
    }
    name->text[0] = '\0';
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
    fresh_name name{};
    opened_fifo pipe = make_fresh_fifo(path, flags, &name);
    if (pipe.fd && pipe.status.st_uid != geteuid()) {
        // Someone else's pipe under our fresh name: never ours to use.
        pipe.fd.reset();
        pipe.error = EPERM;
    }
    if (pipe.fd) {
        pipe.error = rename_over(name.text, path, &pipe);
        if (pipe.error != 0) {
            pipe.fd.reset();
        }
    }
    if (!pipe.fd && name.text[0] != '\0') {
        (void)unlink(name.text);
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
