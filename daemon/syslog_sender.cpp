// The daemon's syslog(3): the same datagrams as glibc's, sent with a time-out.
//
// glibc's syslog() blocks in send() for as long as the reader of /dev/log
// does not read; a stalled reader then holds the agent's answers to BlueZ
// and a stop. Linked into pairgated alone, these definitions replace glibc's
// for the whole process, the I/O library's lines included, so every caller
// keeps the interface of <syslog.h> and setlogmask() still decides what is
// sent. Like systemd's own logging, a line waits at most 10 ms for room in
// the socket; one that does not get it is dropped and counted, and once the
// socket takes lines again the count goes out in a line of its own. After a
// drop, lines are tried without waiting until one goes through, so a reader
// that stays stalled costs the daemon 10 ms in all.
//
// What is sent is what glibc 2.36 sends without openlog():
// "<PRI>Mmm dd hh:mm:ss IDENT: TEXT", facility LOG_USER unless the priority
// names one, IDENT the program's short name; a NUL after each line when
// /dev/log is a stream socket. A socket that refuses a line for any other
// reason (no reader, a replaced /dev/log) is connected afresh and tried once
// more, as glibc does; what still fails is lost, as with glibc.

// The fortified inline wrappers of <syslog.h> would clash with the
// definitions below.
#undef _FORTIFY_SOURCE

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *log_socket_path = "/dev/log";
constexpr long send_timeout_us = 10000;
constexpr std::size_t line_buffer_size = 1024;

struct log_socket {
    int fd = -1;
    int type = SOCK_DGRAM;
    // A line was dropped for want of room: the next ones do not wait.
    bool stalled = false;
    unsigned long dropped = 0;  // lines dropped since the last report
    bool reporting = false;
};
log_socket sink;

enum class delivery { sent, no_room, lost };

void disconnect() {
    if (sink.fd >= 0) {
        close(sink.fd);
    }
    sink.fd = -1;
}

bool connect_type(int type) {
    sink.fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (sink.fd < 0) {
        return false;
    }
    const timeval timeout = {0, send_timeout_us};
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, log_socket_path, sizeof address.sun_path - 1);
    if (setsockopt(sink.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0 &&
        connect(sink.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        return true;
    }
    disconnect();
    return false;
}

// Connected as glibc connects: a datagram socket, or a stream socket when
// /dev/log turns out to be one.
bool connected() {
    if (sink.fd >= 0) {
        return true;
    }
    if (connect_type(sink.type)) {
        return true;
    }
    if (errno != EPROTOTYPE) {
        return false;
    }
    sink.type = sink.type == SOCK_DGRAM ? SOCK_STREAM : SOCK_DGRAM;
    return connect_type(sink.type);
}

delivery send_once(const char *line, std::size_t length) {
    const int flags = MSG_NOSIGNAL | (sink.stalled ? MSG_DONTWAIT : 0);
    const ssize_t sent = send(sink.fd, line, length, flags);
    if (sent == static_cast<ssize_t>(length)) {
        return delivery::sent;
    }
    if (sent >= 0) {
        // Part of a line on a stream: the stream is out of step with its
        // records; the next line starts on a new connection.
        disconnect();
        return delivery::no_room;
    }
    // EINTR: a stop signal came while the line waited for room.
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? delivery::no_room
                                                                     : delivery::lost;
}

delivery deliver(const char *line, std::size_t length) {
    if (!connected()) {
        return delivery::lost;
    }
    delivery outcome = send_once(line, length);
    if (outcome == delivery::lost) {
        disconnect();
        outcome = connected() ? send_once(line, length) : delivery::lost;
        if (outcome == delivery::lost) {
            disconnect();
        }
    }
    return outcome;
}

// One line as glibc formats it, "<PRI>Mmm dd hh:mm:ss IDENT: TEXT", and the
// NUL that ends a record on a stream. It is built on the stack, or on the
// heap when it does not fit there.
class log_line {
  public:
    log_line(int priority, const char *format, va_list args, int saved_errno);
    ~log_line() { free(heap_); }
    log_line(const log_line &) = delete;
    log_line &operator=(const log_line &) = delete;

    const char *text() const { return heap_ != nullptr ? heap_ : buffer_; }
    std::size_t length() const { return length_; }

  private:
    char buffer_[line_buffer_size];
    char *heap_ = nullptr;
    std::size_t length_ = 0;
};

log_line::log_line(int priority, const char *format, va_list args, int saved_errno) {
    const time_t now = time(nullptr);
    tm local = {};
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr) {
        strftime(stamp, sizeof stamp, "%h %e %T ", &local);
    }
    const int head = snprintf(buffer_, sizeof buffer_, "<%d>%s%s: ", priority, stamp,
                              program_invocation_short_name);
    va_list again;
    va_copy(again, args);
    errno = saved_errno;  // for %m
    const std::size_t room = sizeof buffer_ - static_cast<std::size_t>(head);
    const int body = vsnprintf(buffer_ + head, room, format, args);
    const std::size_t end =
        static_cast<std::size_t>(head) + static_cast<std::size_t>(body > 0 ? body : 0);
    if (body > 0 && static_cast<std::size_t>(body) >= room &&
        (heap_ = static_cast<char *>(malloc(end + 1))) != nullptr) {
        memcpy(heap_, buffer_, static_cast<std::size_t>(head));
        errno = saved_errno;
        vsnprintf(heap_ + head, static_cast<std::size_t>(body) + 1, format, again);
    }
    va_end(again);
    length_ = heap_ != nullptr ? end : std::min(end, sizeof buffer_ - 1);
    // The NUL that vsnprintf wrote ends the record on a stream.
    length_ += sink.type == SOCK_STREAM ? 1 : 0;
}

// Sends the count of the lines dropped before; false when the socket still
// takes nothing (the count is kept for the next try).
bool report_dropped() {
    const unsigned long count = sink.dropped;
    sink.dropped = 0;
    sink.reporting = true;
    syslog(LOG_ERR, "(Logging) %lu lines dropped: the syslog socket took none for a while", count);
    sink.reporting = false;
    if (sink.dropped == 0) {
        return true;
    }
    sink.dropped = count;  // the report itself is not one of the program's lines
    return false;
}

void send_line(int priority, const char *format, va_list args) {
    const int saved_errno = errno;
    priority &= LOG_PRIMASK | LOG_FACMASK;
    if ((LOG_MASK(LOG_PRI(priority)) & setlogmask(0)) == 0) {
        return;
    }
    if (sink.dropped > 0 && !sink.reporting && !report_dropped()) {
        ++sink.dropped;  // this one would find no room either
        errno = saved_errno;
        return;
    }
    if ((priority & LOG_FACMASK) == 0) {
        priority |= LOG_USER;
    }
    const log_line line(priority, format, args, saved_errno);
    const delivery outcome = deliver(line.text(), line.length());
    if (outcome == delivery::no_room) {
        ++sink.dropped;
    }
    sink.stalled = outcome == delivery::no_room;
    errno = saved_errno;
}

}  // namespace

extern "C" void vsyslog(int priority, const char *format, va_list args) {
    send_line(priority, format, args);
}

extern "C" void syslog(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_line(priority, format, args);
    va_end(args);
}

// What callers built with -D_FORTIFY_SOURCE call instead.
extern "C" void __vsyslog_chk(int priority, int /*flag*/, const char *format, va_list args) {
    send_line(priority, format, args);
}

extern "C" void __syslog_chk(int priority, int /*flag*/, const char *format, ...) {
    va_list args;
    va_start(args, format);
    send_line(priority, format, args);
    va_end(args);
}
