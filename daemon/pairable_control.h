// The pairing window opened by a binary input: while the configured input
// reads active (0), the adapter is pairable, and discoverable too when
// MOD_BLUETOOTH_DISCOVERABLE is 2. Every other adapter is kept shut.
#pragma once

#include <dbus/dbus.h>

#include "common/errors.h"
#include "settings/settings.h"

// How often the selected input is read while no web pairing is under way.
inline constexpr int input_sample_period_ms = 20;

// The input named by the first character of MOD_BLUETOOTH_PAIRABLE_BIN
// ("0".."3") as its index, or -1 for anything else.
int select_input(const char *pairable_bin);

// Records once, at start-up, the input to read and whether the window drives
// Discoverable too.
void pairable_control_set_up(const settings &settings);

// One pass: reads the input when its sample is due (unless a web pairing is
// under way) and sets the adapter when the decision changes; then, when no
// message waits, sets what BlueZ reported away from the decision or what
// failed before, once its time has come. Failures are logged here and the
// shared error record is cleared.
void pairable_control_step(DBusConnection *connection, error_guard &error,
                           const settings &settings);

// Milliseconds until the step has work (0: now), or -1 for none: the longest
// the loop may sleep for it.
int pairable_control_due_ms();

// A connection filter: BlueZ's PropertiesChanged of an adapter's Pairable or
// Discoverable, noted for the step. Leaves every message unhandled.
DBusHandlerResult watch_adapter_properties(DBusConnection *connection, DBusMessage *message,
                                           void *user_data);

// Makes the next pass decide afresh, as the first pass after start-up does:
// for an adapter the daemon has only just begun to work on.
void pairable_control_restart();
