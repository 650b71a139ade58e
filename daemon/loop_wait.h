// The main loop's wait for its next event: the bus, the request pipe or a stop signal.
#pragma once

#include <dbus/dbus.h>

// What the next pass needs to look at. Both are set when the wait could not
// tell (it returned without polling, or the poll failed), so that a pass
// never skips work it cannot rule out.
struct loop_events {
    bool bus = true;      // the connection has input, room for output, or hung up
    bool request = true;  // the request pipe has bytes
};

// Blocks until connection has input (or room for output that libdbus has not
// sent yet), request_fd has a request (a negative request_fd is not watched),
// SIGINT or SIGTERM has set stop_requested, or timeout_ms has passed (a
// negative timeout_ms: no limit). Returns at once when libdbus already holds
// a message or data to dispatch, when the connection has no descriptor, or
// when a stop was requested.
loop_events wait_for_event(DBusConnection *connection, int request_fd, int timeout_ms);
