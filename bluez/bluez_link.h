// Who BlueZ is now: the unique name that owns "org.bluez", and the adapter
// the daemon works on. This file is the one writer of both; start-up, the
// loop, the agent's filter and the following of BlueZ read them here. The
// agent's registration is bluez_calls.h's.
#pragma once

#include <dbus/dbus.h>

#include "bluez/adapter_select.h"
#include "bluez/device_path.h"
#include "common/dbus_handles.h"

// Object path of the adapter the daemon works on; empty while none is
// selected. Changed only through the functions below.
const char *adapter_path();
bool adapter_selected();

// Whether object_path is an object below the selected adapter (one of its
// devices).
bool on_selected_adapter(const char *object_path);

// BlueZ has an owner on the bus: it (unique_name) has arrived, and may be
// asked for its adapter. Forgets nothing else.
void note_bluez_owner(const char *unique_name);

// BlueZ has left the bus: no owner, no adapter.
void note_bluez_away();

// Whether "org.bluez" has an owner, as far as the daemon has seen.
bool bluez_present();

// True when the message comes from the owner of "org.bluez" as the daemon
// follows it (start-up, then NameOwnerChanged); asks nothing of the bus. Any
// local process may send a signal, a reply or a method call straight to the
// daemon's connection; only BlueZ is listened to.
bool sent_by_bluez(DBusMessage *message);

// Asks the bus who owns "org.bluez" now and remembers it: once at start,
// when the match rule for NameOwnerChanged is in place, since BlueZ may have
// restarted after it answered the adapter search. False when the bus names
// no owner or cannot be asked; the owner then stays as it was.
bool refresh_bluez_owner(DBusConnection *connection);

// Asks the bus whether unique_name owns "org.bluez" now, and remembers the
// owner it names. False also when the bus cannot be asked.
bool bluez_owner_is(DBusConnection *connection, const char *unique_name);

// Asks BlueZ for its objects and works on the first adapter among them;
// also remembers which connection answered for BlueZ, and which of the
// adapter's devices are paired already (device_pairings.h). The other
// adapters are listed in others. False when no adapter was found; the error
// record is set when the call itself failed.
bool select_adapter(DBusConnection *connection, error_guard &error, object_paths &others);

// Works on path from now on (cut to adapter_path_max characters).
void adopt_adapter(const char *path);

// Works on no adapter until one is selected or adopted again, and forgets
// what was known of its devices' pairings.
void forget_adapter();

// Calls a method without arguments of org.bluez.Adapter1 on the adapter
// (StartDiscovery, StopDiscovery); fails at once when none is selected.
bool adapter_call(DBusConnection *connection, error_guard &error, const char *method);

// Why a web pairing cannot start now, for the log; null when it can.
const char *pairing_unavailable();
