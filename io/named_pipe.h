// Named pipes in world-writable /var/tmp, for the daemon and pairgate-pair.
// C++ only; not installed.
#pragma once

#include <sys/stat.h>

#include <climits>

#include "io/descriptors.h"

// A directory that stood at a pipe's path and was renamed out of the way;
// false while none was.
struct moved_directory {
    char moved_to[PATH_MAX] = "";
    uid_t owner = 0;

    explicit operator bool() const { return moved_to[0] != '\0'; }
};

// What open_fifo found: the descriptor, or why there is none.
struct opened_fifo {
    static constexpr int not_a_fifo = -1;  // error: the path holds something else

    unique_fd fd;
    int error = 0;  // errno of open() or fstat(), or not_a_fifo
    struct stat status {};
    moved_directory moved;  // set by replace_with_private_fifo only

    // The reason, for a log line or a message.
    const char *reason() const;
};

// Opens path with flags, adding O_NOFOLLOW and O_CLOEXEC, and keeps it only
// when it is a named pipe. A link or a file planted at a pipe's path must not
// make anyone read, log or overwrite some other file.
opened_fifo open_fifo(const char *path, int flags);

// Makes a new named pipe of this user with mode 0600 under a random name
// beside path, opens it with flags and renames it over path. Whatever stood
// at path (a link, a file, another user's pipe, something swapped in a moment
// ago) is replaced in one step, and the descriptor is the new pipe whatever
// happens to the path afterwards. A directory cannot be replaced that way:
// it is swapped with the new pipe in one step, so that it ends under the
// fresh name (see moved), whoever owns it, since neither the daemon nor the
// client ever makes one there and deleting it would destroy what is not ours;
// nobody looping mkdir at path can slip one in between.
opened_fifo replace_with_private_fifo(const char *path, int flags);

// "a named pipe", "a symbolic link", "a regular file", ...: what a mode
// describes, for a message.
const char *file_kind(mode_t mode);
