// The main loop's wait for its next event: the bus, the request pipe or a stop signal.
#pragma once

#include <dbus/dbus.h>

// Blocks until connection has input (or room for output that libdbus has not
// sent yet), request_fd has a request (a negative request_fd is not watched),
// SIGINT or SIGTERM has set stop_requested, or timeout_ms has passed (a
// negative timeout_ms: no limit). Returns at once when libdbus already holds
// a message or data to dispatch, when the connection has no descriptor, or
// when a stop was requested.
void wait_for_event(DBusConnection *connection, int request_fd, int timeout_ms);
