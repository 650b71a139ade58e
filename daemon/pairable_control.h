// The pairing window opened by a binary input: while the configured input
// reads active (0), the adapter is pairable, and discoverable too when
// MOD_BLUETOOTH_DISCOVERABLE is 2.
#pragma once

#include <dbus/dbus.h>

#include "common/errors.h"
#include "io/input_readers.h"
#include "settings/settings.h"

// The reader named by the first character of MOD_BLUETOOTH_PAIRABLE_BIN
// ("0".."3"), or null for anything else.
input_reader select_input_reader(const char *pairable_bin);

// Records once, at start-up, whether the window drives Discoverable too, for
// whoever applies the window again (bluez/pairing_window.h).
void pairable_control_set_up(const settings &settings);

// Whether the next pass has work here: a reading of the input, or the first
// decision without one. While it has none, the loop may sleep until an event.
bool pairable_control_pending(input_reader reader);

// One pass: reads the input (unless a web pairing is under way) and drives
// Pairable/Discoverable and pairable_state. Failures are logged here and the
// shared error record is cleared.
void pairable_control_step(DBusConnection *connection, error_guard &error, const settings &settings,
                           input_reader reader);

// Makes the next pass decide afresh, as the first pass after start-up does:
// for an adapter the daemon has only just begun to work on.
void pairable_control_restart();
