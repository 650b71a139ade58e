// libdbus owners, answers and the event loop shared by the benchmark's bus client.
#include "bench/bus.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace bench {

namespace {

void send_and_drop(DBusConnection *connection, DBusMessage *message) {
    if (message != nullptr) {
        dbus_connection_send(connection, message, nullptr);
        dbus_message_unref(message);
    }
}

// What is left until DEADLINE, for ppoll(): whole milliseconds would bend
// short pauses.
timespec time_left(clock::time_point deadline) {
    const auto left = std::max(clock::duration::zero(), deadline - clock::now());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
    return {static_cast<time_t>(seconds.count()), static_cast<long>(nanoseconds.count())};
}

// Waits until the bus or a watched descriptor is readable, then reads what
// the bus has (without blocking) and runs the watches' actions. False once
// the bus connection is gone.
bool wait_and_read(DBusConnection *connection, clock::time_point deadline,
                   const std::vector<fd_watch> &watches) {
    int bus_fd = -1;
    if (!dbus_connection_get_unix_fd(connection, &bus_fd)) {
        return false;
    }
    std::vector<pollfd> fds{{bus_fd, POLLIN, 0}};
    for (const fd_watch &watch : watches) {
        fds.push_back({watch.fd, POLLIN, 0});
    }
    const timespec timeout = time_left(deadline);
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) < 0) {
        return errno == EINTR;
    }
    if (fds[0].revents != 0 && !dbus_connection_read_write(connection, 0)) {
        return false;
    }
    for (size_t i = 0; i < watches.size(); ++i) {
        if (fds[i + 1].revents != 0) {
            watches[i].on_readable();
        }
    }
    return true;
}

}  // namespace

shared_message share_message(DBusMessage *borrowed) {
    return shared_message(dbus_message_ref(borrowed), dbus_message_unref);
}

void send_return(DBusConnection *connection, DBusMessage *call) {
    send_and_drop(connection, dbus_message_new_method_return(call));
}

void send_error(DBusConnection *connection, DBusMessage *call, const char *name, const char *text) {
    send_and_drop(connection, dbus_message_new_error(call, name, text));
}

bool run_until(DBusConnection *connection, clock::time_point deadline,
               const std::function<bool()> &done, const std::vector<fd_watch> &watches) {
    for (;;) {
        while (dbus_connection_dispatch(connection) == DBUS_DISPATCH_DATA_REMAINS) {
        }
        if (done()) {
            return true;
        }
        if (clock::now() >= deadline) {
            return false;
        }
        dbus_connection_flush(connection);
        if (!wait_and_read(connection, deadline, watches)) {
            return done();
        }
    }
}

void serve_for(DBusConnection *connection, clock::duration duration,
               const std::vector<fd_watch> &watches) {
    run_until(
        connection, clock::now() + duration, [] { return false; }, watches);
}

double to_microseconds(clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

double to_milliseconds(clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace bench
