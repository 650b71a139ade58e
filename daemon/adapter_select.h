// The Bluetooth adapter the daemon works on: choosing it, and calling it.
// This file is the only writer of adapter_path.
#pragma once

#include <dbus/dbus.h>

#include "bluez/dbus_handles.h"
#include "bluez/managed_objects.h"  // is_adapter_path: the rule pairgate-pair shares

// Walks a GetManagedObjects reply and copies the first adapter path, cut to
// adapter_path_max characters, into out. False when the reply holds none, or
// is not shaped a{oa{sa{sv}}}.
bool find_adapter_in_reply(DBusMessage *reply, char *out);

// Asks BlueZ for its objects and fills adapter_path; also remembers which
// connection answered for BlueZ. False when no adapter was found; the error
// record is set when the call itself failed.
bool select_adapter(DBusConnection *connection, error_guard &error);

// Works on path from now on (cut to adapter_path_max characters).
void adopt_adapter(const char *path);

// Works on no adapter until one is selected or adopted again.
void forget_adapter();

// Calls a method without arguments of org.bluez.Adapter1 on the adapter
// (StartDiscovery, StopDiscovery); fails at once when none is selected.
bool adapter_call(DBusConnection *connection, error_guard &error, const char *method);
