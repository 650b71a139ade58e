// The daemon's own way to syslog: the datagrams of syslog(3), sent with a
// time-out.
//
// glibc's syslog() blocks in send() for as long as the reader of /dev/log
// does not read; a stalled reader then holds the agent's answers to BlueZ
// and a stop. Like systemd's own logging, a line here waits at most 10 ms
// for room in the socket (or, on a stream socket, in its listen queue); one
// that does not get it is dropped and counted, and once the socket takes
// lines again the count goes out in a line of its own. After a drop, lines
// are tried without waiting until one goes through, so a reader that stays
// stalled costs the daemon 10 ms in all.
//
// What is sent is what syslog(3) sends without openlog():
// "<PRI>Mmm dd hh:mm:ss IDENT: TEXT", facility LOG_USER unless the priority
// names one; a NUL after each line when the socket is a stream. A socket that
// refuses a line for any other reason (no reader, a replaced /dev/log) is
// connected afresh and tried once more, as glibc does; what still fails is
// lost, as with glibc.
#pragma once

#include <cstdarg>
#include <cstddef>

class syslog_sender {
  public:
    // Sends to the socket at socket_path under ident; neither is copied.
    syslog_sender(const char *socket_path, const char *ident);
    ~syslog_sender();
    syslog_sender(const syslog_sender &) = delete;
    syslog_sender &operator=(const syslog_sender &) = delete;

    // The priorities sent, as setlogmask(3) takes them; all until set.
    void set_mask(int mask);

    // Sends one line; errno is as it was before.
    void send(int priority, const char *format, va_list args);

  private:
    enum class delivery { sent, no_room, lost };

    delivery connect_as(int type);
    delivery connect_once();
    delivery send_once(const char *line, std::size_t length);
    delivery deliver(const char *line, std::size_t length);
    delivery send_line(int priority, const char *format, va_list args);
    delivery send_report(int priority, const char *format, ...)
        __attribute__((format(printf, 3, 4)));
    bool report_dropped();
    void disconnect();

    const char *path_;
    const char *ident_;
    int mask_ = 0xff;
    int fd_ = -1;
    int type_;
    bool stalled_ = false;       // a line was dropped for want of room: the next ones do not wait
    unsigned long dropped_ = 0;  // lines dropped since the last report
};

// From now on, every log line of the daemon (common/log.h) and of
// libpairgate_io goes through one sender at "/dev/log", under the program's
// short name, at the priorities of mask.
void log_through_syslog_sender(int mask);
