// Taking a pairing request from the web UI off the request pipe.
#pragma once

#include <dbus/dbus.h>

#include "daemon/process_state.h"

// Reads at most one request and, for a well-formed one, starts the pairing:
// the agent becomes "DisplayYesNo" with the record as user data and Pair goes
// out without waiting. Returns true when the daemon must stop (a failed read
// of the pipe, or a failed unregistration of the agent); *exit_status is then 1.
bool request_intake(DBusConnection *connection, DBusError *error, int request_fd, int *exit_status,
                    pairing_request_record *request);
