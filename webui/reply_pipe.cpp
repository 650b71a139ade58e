// The daemon's end of the reply pipe: its six-byte messages to the web UI.
#include "webui/reply_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "common/pipe_protocol.h"
#include "common/reply_message.h"
#include "io/named_pipe.h"

namespace {

const char *reply_path = reply_pipe_path;

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

void write_reply_message(const char *path, std::string_view message) {
    // Non-blocking: with no reader the open fails at once instead of waiting.
    const opened_fifo pipe = open_fifo(path, O_WRONLY | O_NONBLOCK);
    if (!pipe.fd) {
        log_message(LOG_ERR, "Opening output FIFO (%s) failed: %s", path, pipe.reason());
        return;
    }
    const ssize_t written = write_without_sigpipe(pipe.fd.get(), message.data(), message.size());
    if (written != static_cast<ssize_t>(message.size())) {
        // A short write leaves errno untouched; name it as what it is.
        const int reason = written < 0 ? errno : EAGAIN;
        log_message(LOG_ERR, "Writing to output FIFO (%s) failed: %s", path, strerror(reason));
    }
}

void use_reply_pipe(const char *path) {
    reply_path = path;
}

void write_reply_outcome(bool paired) {
    write_reply_message(reply_path, outcome_reply(paired));
}

void write_reply_passkey(uint32_t passkey) {
    write_reply_message(reply_path, passkey_reply(passkey));
}

std::size_t reply_pipe_unread(bool discard) {
    // A reader of our own (a writer's open fails while the web UI holds no
    // reader; the count is the pipe's, whichever end asks), never through a
    // link and only on a named pipe.
    const opened_fifo pipe = open_fifo(reply_path, O_RDONLY | O_NONBLOCK);
    int unread = 0;
    if (!pipe.fd || ioctl(pipe.fd.get(), FIONREAD, &unread) != 0 || unread <= 0) {
        return 0;
    }
    if (!discard) {
        return static_cast<std::size_t>(unread);
    }
    std::size_t dropped = 0;
    char bytes[256];
    for (ssize_t count; (count = read(pipe.fd.get(), bytes, sizeof bytes)) > 0;) {
        dropped += static_cast<std::size_t>(count);
    }
    return dropped;
}
