// The pairing window on the adapters: whether the daemon holds the adapter it
// works on pairable (the binary input reads active) or shut, and every other
// adapter BlueZ exports shut for good. The state is decided and written by
// daemon/pairable_control.cpp alone; declared here, below the agent, which
// reads it to know whether a confirmation is expected, and below the web
// pairing, which applies it again once the pairing is over.
//
// The adapters are set when the decision changes, after each registration of
// the agent, and when BlueZ reports a property away from the decision; never
// on every pass. A Set that failed is tried again a second later, or as soon
// as BlueZ reports the adapter changed (a property away, its power), 250 ms
// after it at the earliest: BlueZ's word is acted on at most four times a
// second per adapter, however often another client flips the property.
#pragma once

#include <dbus/dbus.h>

#include <optional>

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
// from being set, and the adapter is tried again a second later. Nothing is
// sent while no adapter is selected.
void apply_pairing_window(DBusConnection *connection, error_guard &error, bool open);

// The adapters other than the selected one, all kept shut. Learnt from
// BlueZ's object list, and from its adapters appearing and going.
void other_adapters_from_reply(DBusMessage *reply);
void other_adapter_added(const char *path);
void other_adapter_removed(const char *path);
void forget_other_adapters();

// Shuts every other adapter now: after a registration of the agent, which
// made them pairable.
void shut_other_adapters(DBusConnection *connection);

// BlueZ reported an adapter's Pairable (or Discoverable) as value. selected:
// the decision the selected adapter is held to, or none while nothing holds
// it (no decision yet, a web pairing under way).
void pairing_window_reported(const char *path, bool discoverable, bool value,
                             std::optional<bool> selected);

// BlueZ reported an adapter powered: a Set it refused while powering it up
// is made again without waiting out the second.
void pairing_window_powered(const char *path);

// Sets the adapters that are owed a Set and whose time has come: the
// selected one only while it is held to a decision.
void pairing_window_settle(DBusConnection *connection, std::optional<bool> selected);

// Milliseconds until pairing_window_settle has work (0: now), or -1 for none.
int pairing_window_due_ms(std::optional<bool> selected);
