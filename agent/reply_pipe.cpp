// Writing the daemon's messages into the web UI's reply pipe.
#include "agent/reply_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "webui/pipe_names.h"

namespace {

// Opens the pipe for writing without waiting for a reader. Only a named pipe
// is written to: /var/tmp is world-writable, and a link or file planted at the
// path must not make the daemon overwrite some other file.
int open_reply_pipe(const char *path) {
    const int fd = open(path, O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        syslog(LOG_ERR, "Opening output FIFO (%s) failed: %s", path, strerror(errno));
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
        syslog(LOG_ERR, "Opening output FIFO (%s) failed: %s", path, "not a named pipe");
        close(fd);
        return -1;
    }
    return fd;
}

// Writes without the risk of SIGPIPE: a web UI that closes its end between
// our open and our write would otherwise end the daemon on the spot. The
// signal is held back during the write and a pending one is taken away, so
// the failure surfaces as EPIPE and the process-wide disposition (which
// children inherit) stays as it is.
ssize_t write_without_sigpipe(int fd, const void *data, size_t size) {
    sigset_t pipe_signal;
    sigset_t previous;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    const bool was_pending = [&] {
        sigset_t pending;
        return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }();
    (void)pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    const ssize_t written = write(fd, data, size);
    const int write_error = errno;
    if (written < 0 && write_error == EPIPE && !was_pending) {
        const timespec no_wait{};
        (void)sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = write_error;
    return written;
}

}  // namespace

void write_reply_message(const char *path, const unsigned char *message) {
    const int fd = open_reply_pipe(path);
    if (fd < 0) {
        return;
    }
    const ssize_t written = write_without_sigpipe(fd, message, reply_size);
    if (written != static_cast<ssize_t>(reply_size)) {
        // A short write leaves errno untouched; name it as what it is.
        const int reason = written < 0 ? errno : EAGAIN;
        syslog(LOG_ERR, "Writing to output FIFO (%s) failed: %s", path, strerror(reason));
    }
    close(fd);
}

void write_reply_outcome(bool paired) {
    unsigned char message[reply_size];
    memset(message, paired ? reply_paired_byte : reply_failed_byte, reply_size);
    write_reply_message(reply_pipe_path, message);
}
