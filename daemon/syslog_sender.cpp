// The daemon's syslog sender: syslog(3)'s datagrams with a send time-out.
#include "daemon/syslog_sender.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "io/input_readers.h"

namespace {

constexpr const char *log_socket_path = "/dev/log";
constexpr long send_timeout_us = 10000;
constexpr std::size_t line_buffer_size = 1024;

// One line as syslog(3) formats it, "<PRI>Mmm dd hh:mm:ss IDENT: TEXT", ending
// in a NUL that is sent only on a stream. Built on the stack, or on the heap
// when it does not fit there (a long text, or a long program name).
class log_line {
  public:
    log_line(int priority, const char *ident, const char *format, va_list args, int saved_errno);
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

log_line::log_line(int priority, const char *ident, const char *format, va_list args,
                   int saved_errno) {
    const time_t now = time(nullptr);
    tm local = {};
    char stamp[32] = "";
    if (localtime_r(&now, &local) != nullptr) {
        strftime(stamp, sizeof stamp, "%h %e %T ", &local);
    }
    va_list again;
    va_copy(again, args);
    errno = saved_errno;  // for %m
    const int body = vsnprintf(nullptr, 0, format, args);
    const int head = snprintf(nullptr, 0, "<%d>%s%s: ", priority, stamp, ident);
    const std::size_t whole = static_cast<std::size_t>(head > 0 ? head : 0) +
                              static_cast<std::size_t>(body > 0 ? body : 0);
    char *out = buffer_;
    std::size_t room = sizeof buffer_;
    if (whole >= room && (heap_ = static_cast<char *>(malloc(whole + 1))) != nullptr) {
        out = heap_;
        room = whole + 1;
    }
    // Without the heap the line is cut to the buffer, as a whole record.
    const int written = snprintf(out, room, "<%d>%s%s: ", priority, stamp, ident);
    const std::size_t at = written < 0 ? 0 : std::min(static_cast<std::size_t>(written), room - 1);
    errno = saved_errno;
    vsnprintf(out + at, room - at, format, again);
    va_end(again);
    length_ = std::min(whole, room - 1);
    out[length_] = '\0';
}

syslog_sender *daemon_sender = nullptr;

void send_to_daemon_sender(int priority, const char *format, va_list args) {
    daemon_sender->send(priority, format, args);
}

}  // namespace

syslog_sender::syslog_sender(const char *socket_path, const char *ident)
    : path_(socket_path), ident_(ident), type_(SOCK_DGRAM) {}

syslog_sender::~syslog_sender() {
    disconnect();
}

void syslog_sender::set_mask(int mask) {
    mask_ = mask;
}

void syslog_sender::disconnect() {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
}

// While stalled, even the connection does not wait: a full listen queue is
// no room, as a full socket is.
syslog_sender::delivery syslog_sender::connect_as(int type) {
    fd_ = socket(AF_UNIX, type | SOCK_CLOEXEC | (stalled_ ? SOCK_NONBLOCK : 0), 0);
    if (fd_ < 0) {
        return delivery::lost;
    }
    const timeval timeout = {0, send_timeout_us};
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path_, sizeof address.sun_path - 1);
    if (setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0 &&
        connect(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        (!stalled_ || fcntl(fd_, F_SETFL, 0) == 0)) {
        return delivery::sent;
    }
    const int reason = errno;
    disconnect();
    errno = reason;
    // EINTR: a stop signal came while the connection waited.
    return reason == EAGAIN || reason == EINTR ? delivery::no_room : delivery::lost;
}

// Connected as glibc connects: a datagram socket, or a stream socket when
// the path turns out to be one.
syslog_sender::delivery syslog_sender::connect_once() {
    if (fd_ >= 0) {
        return delivery::sent;
    }
    const delivery outcome = connect_as(type_);
    if (outcome != delivery::lost || errno != EPROTOTYPE) {
        return outcome;
    }
    type_ = type_ == SOCK_DGRAM ? SOCK_STREAM : SOCK_DGRAM;
    return connect_as(type_);
}

// The socket's type is known only once connected, so whether the NUL that
// ends a record on a stream goes out is decided here.
syslog_sender::delivery syslog_sender::send_once(const char *line, std::size_t length) {
    const std::size_t record = length + (type_ == SOCK_STREAM ? 1 : 0);
    const int flags = MSG_NOSIGNAL | (stalled_ ? MSG_DONTWAIT : 0);
    const ssize_t sent = ::send(fd_, line, record, flags);
    if (sent == static_cast<ssize_t>(record)) {
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

syslog_sender::delivery syslog_sender::deliver(const char *line, std::size_t length) {
    delivery outcome = connect_once();
    if (outcome == delivery::sent) {
        outcome = send_once(line, length);
    }
    if (outcome == delivery::lost) {
        disconnect();
        outcome = connect_once();
        if (outcome == delivery::sent) {
            outcome = send_once(line, length);
        }
        if (outcome == delivery::lost) {
            disconnect();
        }
    }
    stalled_ = outcome == delivery::no_room;
    return outcome;
}

syslog_sender::delivery syslog_sender::send_line(int priority, const char *format, va_list args) {
    const log_line line(priority, ident_, format, args, errno);
    return deliver(line.text(), line.length());
}

syslog_sender::delivery syslog_sender::send_report(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    const delivery outcome = send_line(priority | LOG_USER, format, args);
    va_end(args);
    return outcome;
}

// Sends the count of the lines dropped before; false when the socket still
// has no room (the count is kept for the next try). The report itself is
// not one of the program's lines, and is not counted.
bool syslog_sender::report_dropped() {
    const delivery outcome = send_report(
        LOG_ERR, "(Logging) %lu lines dropped: the syslog socket took none for a while", dropped_);
    if (outcome == delivery::no_room) {
        return false;
    }
    dropped_ = 0;
    return true;
}

void syslog_sender::send(int priority, const char *format, va_list args) {
    const int saved_errno = errno;
    priority &= LOG_PRIMASK | LOG_FACMASK;
    if ((LOG_MASK(LOG_PRI(priority)) & mask_) == 0) {
        return;
    }
    if (dropped_ > 0 && !report_dropped()) {
        ++dropped_;  // this one would find no room either
    } else {
        if ((priority & LOG_FACMASK) == 0) {
            priority |= LOG_USER;
        }
        errno = saved_errno;
        dropped_ += send_line(priority, format, args) == delivery::no_room ? 1 : 0;
    }
    errno = saved_errno;
}

void log_through_syslog_sender(int mask) {
    static syslog_sender sender(log_socket_path, program_invocation_short_name);
    sender.set_mask(mask);
    daemon_sender = &sender;
    log_set_sink(send_to_daemon_sender);
    input_set_logger(send_to_daemon_sender);
}
