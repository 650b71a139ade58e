// The end of every web-requested pairing, however it went.
#pragma once

#include <dbus/dbus.h>

// Puts the agent back to "NoInputNoOutput" without user data and marks no
// web pairing under way. Failures are logged; the state is idle regardless.
void end_web_pairing(DBusConnection *connection);
