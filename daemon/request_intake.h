// The loop's request-intake step: a request read off the request pipe and
// its pairing started, or refused with a failure on the reply pipe. Every
// failure of the step is logged here, where what it means is decided.
#pragma once

#include <dbus/dbus.h>

#include "common/errors.h"
#include "webui/web_pairing.h"

// Reads at most one request from request_fd into request and starts its
// pairing. False when a failure ends the daemon: the pipe cannot be read, or
// the agent cannot be swapped (the web UI then gets a failure at once rather
// than waiting out its time-out).
bool take_request(DBusConnection *connection, error_guard &error, int request_fd,
                  pairing_request_record &request);
