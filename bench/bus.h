// libdbus owners, answers and the event loop shared by the benchmark's bus client.
#pragma once

#include <dbus/dbus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "common/dbus_handles.h"  // message_ptr, as the daemon owns its messages

namespace bench {

using clock = std::chrono::steady_clock;

// A reference of its own to a borrowed message, which copies of it share
// (a held call that a later answer completes).
using shared_message = std::shared_ptr<DBusMessage>;
shared_message share_message(DBusMessage *borrowed);

// Queues an empty method return, or an error, as the answer to CALL.
void send_return(DBusConnection *connection, DBusMessage *call);
void send_error(DBusConnection *connection, DBusMessage *call, const char *name, const char *text);

// A descriptor the loop waits on beside the bus, and what to do when it is readable.
struct fd_watch {
    int fd;
    std::function<void()> on_readable;
};

// Dispatches every message the bus brings, and waits for more, until DONE
// holds or DEADLINE passes; returns DONE's last verdict. Messages are handled
// by the connection's filters.
bool run_until(DBusConnection *connection, clock::time_point deadline,
               const std::function<bool()> &done, const std::vector<fd_watch> &watches = {});

// Serves the bus for DURATION.
void serve_for(DBusConnection *connection, clock::duration duration,
               const std::vector<fd_watch> &watches = {});

double to_microseconds(clock::duration duration);
double to_milliseconds(clock::duration duration);

}  // namespace bench
