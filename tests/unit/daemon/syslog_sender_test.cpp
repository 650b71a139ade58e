// The daemon's syslog sender against sockets of its own, in the shapes /dev/log
// takes: a datagram socket, a stream socket, a stream socket whose listen queue
// is full. Every wait is on the socket, with a deadline.
#include "daemon/syslog_sender.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

#include "io/descriptors.h"
#include "temp_dir.h"

namespace {

constexpr int deadline_ms = 5000;

void say(syslog_sender &sender, int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    sender.send(priority, format, args);
    va_end(args);
}

unique_fd bound_socket(const std::string &path, int type) {
    unique_fd fd(socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "bind " << path << ": " << strerror(errno);
    }
    return fd;
}

bool readable(int fd) {
    pollfd watched = {fd, POLLIN, 0};
    return poll(&watched, 1, deadline_ms) == 1;
}

std::string next_datagram(int fd) {
    std::string datagram(8192, '\0');
    const ssize_t size = readable(fd) ? recv(fd, &datagram[0], datagram.size(), 0) : -1;
    datagram.resize(size > 0 ? static_cast<std::size_t>(size) : 0);
    return datagram;
}

// Accepts the next connection and reads from it until count records, each
// ended by a NUL, have come.
std::vector<std::string> stream_records(int listener, std::size_t count) {
    unique_fd connection(readable(listener) ? accept(listener, nullptr, nullptr) : -1);
    std::string stream;
    char chunk[4096];
    while (static_cast<std::size_t>(std::count(stream.begin(), stream.end(), '\0')) < count &&
           readable(connection.get())) {
        const ssize_t size = read(connection.get(), chunk, sizeof chunk);
        if (size <= 0) {
            break;
        }
        stream.append(chunk, static_cast<std::size_t>(size));
    }
    std::vector<std::string> records;
    for (std::size_t start = 0, end; (end = stream.find('\0', start)) != std::string::npos;
         start = end + 1) {
        records.push_back(stream.substr(start, end - start));
    }
    if (!stream.empty() && stream.back() != '\0') {
        records.push_back(stream.substr(stream.rfind('\0') + 1) + " (no NUL)");
    }
    return records;
}

bool ends_with(const std::string &text, const std::string &end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(SyslogSender, SendsTheDatagramsOfSyslog) {
    temp_dir dir;
    unique_fd reader = bound_socket(dir.path("log"), SOCK_DGRAM);
    const std::string path = dir.path("log");
    syslog_sender sender(path.c_str(), "pairgated");
    sender.set_mask(LOG_UPTO(LOG_INFO));

    say(sender, LOG_DEBUG, "left out by the mask");
    errno = ENOENT;
    say(sender, LOG_ERR, "Opening %s failed: %m", "x");
    EXPECT_EQ(errno, ENOENT);
    say(sender, LOG_LOCAL0 | LOG_INFO, "with a facility of its own");

    const std::string first = next_datagram(reader.get());
    EXPECT_EQ(first.substr(0, 4), "<11>") << first;
    EXPECT_EQ(first[7], ' ') << "Mmm dd hh:mm:ss: " << first;
    EXPECT_TRUE(ends_with(first, " pairgated: Opening x failed: No such file or directory"))
        << first;
    EXPECT_EQ(first.find('\0'), std::string::npos) << "no NUL in a datagram";
    EXPECT_EQ(next_datagram(reader.get()).substr(0, 5), "<134>");
}

TEST(SyslogSender, AProgramNameOfTwoThousandBytesGoesOutWhole) {
    temp_dir dir;
    unique_fd reader = bound_socket(dir.path("log"), SOCK_DGRAM);
    const std::string path = dir.path("log");
    const std::string ident(2000, 'p');
    syslog_sender sender(path.c_str(), ident.c_str());

    say(sender, LOG_NOTICE, "Bluetooth helper daemon has been started");

    const std::string datagram = next_datagram(reader.get());
    EXPECT_EQ(datagram.substr(0, 4), "<13>");
    EXPECT_TRUE(ends_with(datagram, ident + ": Bluetooth helper daemon has been started"));
}

TEST(SyslogSender, OnAStreamEveryRecordEndsInANulFromTheFirstOn) {
    temp_dir dir;
    unique_fd listener = bound_socket(dir.path("log"), SOCK_STREAM);
    ASSERT_EQ(listen(listener.get(), 8), 0);
    const std::string path = dir.path("log");
    syslog_sender sender(path.c_str(), "pairgated");

    say(sender, LOG_INFO, "one");
    say(sender, LOG_INFO, "two");

    const std::vector<std::string> records = stream_records(listener.get(), 2);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_TRUE(ends_with(records[0], "pairgated: one")) << records[0];
    EXPECT_TRUE(ends_with(records[1], "pairgated: two")) << records[1];
}

// The reader accepts nobody: its listen queue fills with connections it has
// not taken. The sender's lines are then dropped and counted like lines that
// find a full socket, and the count goes out first once it is let in.
TEST(SyslogSender, AFullListenQueueDropsAndCountsLines) {
    temp_dir dir;
    unique_fd listener = bound_socket(dir.path("log"), SOCK_STREAM);
    ASSERT_EQ(listen(listener.get(), 0), 0);
    const std::string path = dir.path("log");
    std::vector<unique_fd> queued;
    for (int tries = 0; tries < 64; ++tries) {
        unique_fd client(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(client.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) !=
            0) {
            ASSERT_EQ(errno, EAGAIN);
            break;
        }
        queued.push_back(std::move(client));
    }
    syslog_sender sender(path.c_str(), "pairgated");

    for (int line = 0; line < 100; ++line) {
        say(sender, LOG_INFO, "line %d", line);
    }
    for (std::size_t taken = 0; taken < queued.size(); ++taken) {
        unique_fd connection(accept(listener.get(), nullptr, nullptr));
    }
    say(sender, LOG_INFO, "after");

    const std::vector<std::string> records = stream_records(listener.get(), 2);
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].substr(0, 4), "<11>");
    EXPECT_TRUE(ends_with(records[0],
                          ": (Logging) 100 lines dropped: the syslog socket took none for a while"))
        << records[0];
    EXPECT_TRUE(ends_with(records[1], "pairgated: after")) << records[1];
}

}  // namespace
