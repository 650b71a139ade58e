// The pairing window: while the configured binary input reads active (0),
// the adapter the daemon works on is pairable, and discoverable too when
// MOD_BLUETOOTH_DISCOVERABLE is 2; every other adapter BlueZ exports is kept
// shut for good. This module alone decides the window, keeps the record of
// each adapter and sets the adapters to it. It sits below the agent, which
// reads the window to know whether a confirmation is expected, and below the
// web pairing, which has it applied again once a pairing is over. The loop
// tells it whether a web pairing is under way; the following of BlueZ hands
// it the adapters it finds.
//
// The adapters are set when the decision changes, after each registration of
// the agent, and when BlueZ reports a property away from the decision; never
// on every pass. A Set that failed is tried again a second later, or as soon
// as BlueZ reports the adapter changed (a property away, its power), 250 ms
// after it at the earliest: BlueZ's word is acted on at most four times a
// second per adapter, however often another client flips the property.
#pragma once

#include <dbus/dbus.h>

#include <csignal>

#include "bluez/bluez_link.h"
#include "settings/settings.h"

enum class pairable : int {
    undecided = -1,  // before the loop's first decision
    closed = 0,
    open = 1,
};

// The window's state.
pairable pairing_window_state();

// Records once, at start-up, the input to read, whether the window drives
// Discoverable too, and the stop request that cuts a reading short.
void pairing_window_set_up(const settings &settings, const volatile sig_atomic_t *stop_flag);

// One pass of the loop: reads the input when its sample is due (unless a web
// pairing is under way) and sets the adapter when the decision changes, and
// logs the change; then, when no message waits, sets what BlueZ reported
// away from the decision or what failed before, once its time has come.
void pairing_window_step(DBusConnection *connection, bool web_pairing_idle);

// Milliseconds until the step has work (0: now), or -1 for none: the longest
// the loop may sleep for it.
int pairing_window_due_ms(bool web_pairing_idle);

// Makes the next pass decide afresh, as the first pass after start-up does:
// for an adapter the daemon has only just begun to work on.
void pairing_window_restart();

// Sets the adapter to the window again, unlogged, and shuts every other
// adapter: at the end of a web pairing, since BlueZ makes every adapter
// pairable whenever an agent registers.
void pairing_window_reapply(DBusConnection *connection);

// Shuts every other adapter now: after a registration of the agent, which
// made them pairable.
void pairing_window_shut_others(DBusConnection *connection);

// The other adapters BlueZ exports: all of them as selection found them
// (replacing what was known), one that appears, one that goes, none at all
// (BlueZ has left).
void pairing_window_adapters_listed(const object_paths &others);
void pairing_window_adapter_added(const char *path);
void pairing_window_adapter_removed(const char *path);
void pairing_window_adapters_gone();

// BlueZ's word on an adapter: a property of the window as value (noted when
// away from what the adapter is held to), or its power, which it may have
// lacked to take the window's last Set.
void pairing_window_reported(const char *path, bool discoverable, bool value,
                             bool web_pairing_idle);
void pairing_window_powered(const char *path);

// At shutdown: an adapter not known to be shut is made non-pairable, and
// that is logged. False when the Set failed (logged too).
bool pairing_window_shut_down(DBusConnection *connection);

// Sets the window's state without touching an adapter: for tests.
void pairing_window_assume(pairable state);
