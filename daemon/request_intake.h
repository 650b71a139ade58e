// The loop's request-intake step: a request read off the request pipe and
// its pairing started, or refused with a failure on the reply pipe. Every
// failure of the step is logged here, where what it means is decided.
#pragma once

#include <dbus/dbus.h>

#include "webui/web_pairing.h"

// Reads at most one request from request_fd into request and starts its
// pairing. False when a failure ends the daemon: the pipe cannot be read, or
// the agent cannot be swapped (the web UI then gets a failure at once rather
// than waiting out its time-out).
//
// A request is taken only once the reply pipe is empty: a client whose
// request still waits in the request pipe knows that what it reads meanwhile
// answers an earlier one (a client killed before its pairing ended), however
// late the scheduler lets it look. The reader gets a second to take what it
// holds; after that those bytes are dropped, with a line in the log, so that
// a reader that never reads stops nothing.
bool take_request(DBusConnection *connection, int request_fd, pairing_request_record &request);

// Milliseconds until take_request should look at the reply pipe again while
// a request waits for it to be emptied; -1 while none does. The loop then
// does not watch the request pipe, whose bytes would wake it at once.
int request_intake_due_ms();
