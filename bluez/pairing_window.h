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

// Sets the adapter's Pairable, then Discoverable when the window drives it,
// to open: for the loop's decision, and again at the end of a web pairing,
// since BlueZ makes every adapter pairable whenever an agent registers. A
// failure is logged and the record cleared; it does not keep Discoverable
// from being set. Nothing is sent while no adapter is selected.
void apply_pairing_window(DBusConnection *connection, error_guard &error, bool open);
