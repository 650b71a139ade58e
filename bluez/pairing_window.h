// The pairing window on the adapter: whether the daemon holds the adapter
// pairable (the binary input reads active) or shut. Decided and written by
// daemon/pairable_control.cpp alone; declared here, below the agent, which
// reads it to know whether a confirmation is expected, and below the web
// pairing, which applies it again once the pairing is over.
#pragma once

#include <dbus/dbus.h>

#include "common/errors.h"

enum class pairable : int {
    undecided = -1,  // before the loop's first decision
    closed = 0,
    open = 1,
};
inline pairable pairable_state = pairable::undecided;

// Whether the window drives Discoverable too (MOD_BLUETOOTH_DISCOVERABLE=2).
// Recorded once at start-up.
void pairing_window_includes_discoverable(bool included);
bool pairing_window_drives_discoverable();

// Sets one of the window's properties of the adapter ("Pairable",
// "Discoverable") to open; the reason of a failure is in error.
bool set_window_property(DBusConnection *connection, error_guard &error, const char *property,
                         bool open);

// BlueZ makes every adapter pairable whenever an agent registers, whatever
// the window said. This sets the adapter's Pairable (then Discoverable, when
// the window drives it) to the window's state: true only while it is open.
// Nothing is sent while no adapter is selected. Returns null, or the name of
// the property that could not be set, with the reason in error (the caller
// logs it); a failed Pairable leaves Discoverable untouched.
const char *apply_pairing_window(DBusConnection *connection, error_guard &error);
