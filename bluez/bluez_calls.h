// The few D-Bus calls to BlueZ that the daemon is built from. They follow
// common/errors.h: a bool, and the reason in the caller's error record,
// which every function here expects clear. A function that takes a
// message_ptr takes the message's ownership.
#pragma once

#include <dbus/dbus.h>

#include "common/bluez_names.h"
#include "common/dbus_handles.h"
#include "common/errors.h"

// A method call to BlueZ, or null when the path is not a valid object path
// (libdbus would abort the process on it; the record then says why) or
// memory ran out. The empty path, the path of no adapter, counts as invalid.
message_ptr bluez_method_call(const char *object_path, const char *interface, const char *method,
                              error_guard &error);

// Sends the message and waits for the answer at libdbus's default time-out.
// True exactly when a non-error answer came back.
bool bluez_call(DBusConnection *connection, message_ptr message, error_guard &error);

// Sets a boolean property through org.freedesktop.DBus.Properties.Set.
bool bluez_set_bool(DBusConnection *connection, error_guard &error, const char *object_path,
                    const char *interface, const char *property, bool value);

// Registers the agent object, whose message function is handler (called with
// user_data), then calls RegisterAgent with the capability. When the object is
// still registered nothing is sent and false is returned.
bool agent_register(DBusConnection *connection, error_guard &error,
                    DBusObjectPathMessageFunction handler, const char *capability, void *user_data);

// UnregisterAgent, then removes the agent object. A failed UnregisterAgent
// leaves the object registered.
bool agent_unregister(DBusConnection *connection, error_guard &error);

// Drops the agent object from the connection, if it is registered, without a
// word to BlueZ: for when BlueZ itself is gone, has released the agent, or
// never took the registration. The next agent_register then starts afresh.
void agent_forget(DBusConnection *connection);
