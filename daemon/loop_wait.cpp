// The main loop's wait for its next event: the bus, the request pipe or a stop signal.
#include "daemon/loop_wait.h"

#include <poll.h>

#include <csignal>
#include <ctime>

#include "daemon/lifecycle.h"

namespace {

// A message queued or read but not yet parsed: progress needs no new input.
bool libdbus_holds_input(DBusConnection *connection) {
    return dbus_connection_get_dispatch_status(connection) != DBUS_DISPATCH_COMPLETE;
}

short bus_events(DBusConnection *connection) {
    // Output libdbus could not send yet goes out once the socket has room.
    return dbus_connection_has_messages_to_send(connection) ? POLLIN | POLLOUT : POLLIN;
}

// The stop signals stay blocked from the test of the flag until ppoll has
// swapped in the previous mask, so a signal that comes in between is not
// slept through: it interrupts ppoll at once. False when ppoll did not say
// which descriptors are ready.
bool poll_unless_stopping(pollfd *fds, nfds_t count, int timeout_ms) {
    sigset_t stops;
    sigset_t previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &previous);
    int ready = -1;
    if (!stop_requested) {
        // EINTR is the stop (or another signal); any other failure shows on the next pass.
        timespec limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
        ready = ppoll(fds, count, timeout_ms >= 0 ? &limit : nullptr, &previous);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ready >= 0;
}

}  // namespace

loop_events wait_for_event(DBusConnection *connection, int request_fd, int timeout_ms) {
    int bus_fd = -1;
    if (libdbus_holds_input(connection) || !dbus_connection_get_unix_fd(connection, &bus_fd)) {
        return {};
    }
    pollfd fds[] = {{bus_fd, bus_events(connection), 0}, {request_fd, POLLIN, 0}};
    if (!poll_unless_stopping(fds, request_fd >= 0 ? 2 : 1, timeout_ms)) {
        return {};
    }
    return {fds[0].revents != 0, fds[1].revents != 0};
}
