// The client's ends of the two pipes: the private reply pipe it listens on and
// the request it writes to the daemon.
#include "client/client_pipes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "io/named_pipe.h"

namespace {

constexpr const char *not_running = "pairgated is not running";

run_failure local_error(std::string message) {
    return run_failure{run_result::local_error, std::move(message)};
}

run_failure system_error(const std::string &what, const char *path) {
    return local_error(what + " " + path + ": " + std::strerror(errno));
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Why a pipe end could not be opened: a link, a file or nothing at its path.
run_failure open_failure(const opened_fifo &pipe, const std::string &what, const char *path) {
    if (pipe.error == opened_fifo::not_a_fifo) {
        return local_error(std::string(path) + " is not a named pipe");
    }
    return local_error(what + " " + path + ": " + pipe.reason());
}

run_failure busy(const char *path) {
    return run_failure{run_result::busy,
                       "another pairgate-pair is already waiting on " + std::string(path)};
}

bool is_private(const struct stat &info) {
    return info.st_uid == geteuid() && (info.st_mode & 077) == 0;
}

// Why what stands at path is not used as the reply pipe, naming whose it is.
run_failure refusal(const char *path, const opened_fifo &pipe) {
    struct stat found {};
    if (lstat(path, &found) != 0 || (S_ISFIFO(found.st_mode) && is_private(found))) {
        return open_failure(pipe, "cannot open the reply pipe", path);
    }
    char mode[8];
    (void)snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(found.st_mode & 07777));
    return local_error("the reply pipe " + std::string(path) + " is " + file_kind(found.st_mode) +
                       " of uid " + std::to_string(found.st_uid) + " with mode " + mode +
                       "; it must be a named pipe of uid " + std::to_string(geteuid()) +
                       " with mode 0600");
}

std::optional<run_failure> open_reader(const char *path, reply_listener &listener,
                                       struct stat &info) {
    if (mkfifo(path, 0600) != 0 && errno != EEXIST) {
        return system_error("cannot create the reply pipe", path);
    }
    opened_fifo pipe = open_fifo(path, O_RDONLY | O_NONBLOCK);
    if (!(pipe.fd && is_private(pipe.status)) && geteuid() == 0) {
        // A pipe another run holds (the web server's, waiting on its pairing)
        // is left to it. Our lock on one that nobody holds keeps its owner's
        // run out until the new pipe has taken its place.
        if (pipe.fd && flock(pipe.fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            return busy(path);
        }
        // Root replaces whatever another user left in /var/tmp, so that nobody
        // can disable web pairing by planting something there.
        pipe = replace_with_private_fifo(path, O_RDONLY | O_NONBLOCK);
        if (!pipe.fd) {
            return open_failure(pipe, "cannot replace the reply pipe", path);
        }
        if (pipe.moved) {
            listener.notice = "the reply pipe " + std::string(path) + " was a directory of uid " +
                              std::to_string(pipe.moved.owner) + "; moved it to " +
                              pipe.moved.moved_to;
        }
    }
    if (!pipe.fd || !is_private(pipe.status)) {
        return refusal(path, pipe);
    }
    info = pipe.status;
    listener.reader = std::move(pipe.fd);
    return std::nullopt;
}

std::optional<run_failure> open_writer(const char *path, reply_listener &listener,
                                       const struct stat &reader_info) {
    // Succeeds at once: our own reader is open.
    opened_fifo pipe = open_fifo(path, O_WRONLY | O_NONBLOCK);
    if (!pipe.fd) {
        return open_failure(pipe, "cannot open the reply pipe", path);
    }
    if (!same_file(pipe.status, reader_info)) {
        return local_error("the reply pipe " + std::string(path) +
                           " was replaced while opening it");
    }
    listener.writer = std::move(pipe.fd);
    return std::nullopt;
}

// Bytes already in the pipe are for nobody waiting now - an outcome some
// earlier client gave up on - and must not be taken for the answer to the
// request about to go out.
void discard_stale_bytes(int reader) {
    char bytes[256];
    while (read(reader, bytes, sizeof bytes) > 0) {
    }
}

}  // namespace

std::optional<run_failure> open_reply_pipe(const char *path, reply_listener &listener) {
    struct stat info {};
    if (auto failure = open_reader(path, listener, info)) {
        return failure;
    }
    if (flock(listener.reader.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return busy(path);
        }
        return system_error("cannot lock the reply pipe", path);
    }
    discard_stale_bytes(listener.reader.get());
    return open_writer(path, listener, info);
}

std::optional<run_failure> send_request(const char *path, std::string_view address,
                                        unique_fd &writer) {
    // Non-blocking: with no daemon holding the pipe open for reading the open
    // fails with ENXIO instead of waiting for ever.
    opened_fifo pipe = open_fifo(path, O_WRONLY | O_NONBLOCK);
    if (!pipe.fd) {
        if (pipe.error == ENOENT || pipe.error == ENXIO) {
            return run_failure{run_result::not_running, not_running};
        }
        return open_failure(pipe, "cannot open the request pipe", path);
    }
    const ssize_t written = write(pipe.fd.get(), address.data(), address.size());
    if (written == static_cast<ssize_t>(address.size())) {
        writer = std::move(pipe.fd);
        return std::nullopt;
    }
    if (written >= 0) {
        return local_error("short write to the request pipe " + std::string(path) + " (" +
                           std::to_string(written) + " of " + std::to_string(address.size()) +
                           " bytes)");
    }
    if (errno == EPIPE) {
        // The reader went away between our open and our write.
        return run_failure{run_result::not_running, not_running};
    }
    if (errno == EAGAIN) {
        return local_error("the request pipe " + std::string(path) +
                           " is full; pairgated is not reading it");
    }
    return system_error("cannot write the request to", path);
}

bool request_unread(int writer) {
    return unread_bytes(writer) > 0;
}

std::size_t unread_bytes(int fd) {
    int waiting = 0;
    return fd >= 0 && ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0
               ? static_cast<std::size_t>(waiting)
               : 0;
}
