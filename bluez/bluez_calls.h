// The few D-Bus calls to BlueZ that the daemon is built from. Each takes the
// connection and a clear error record from the caller and returns true on
// success; on failure the record says why (the caller logs and frees it).
#pragma once

#include <dbus/dbus.h>

#include "bluez/dbus_handles.h"

inline constexpr const char *bluez_service = "org.bluez";
inline constexpr const char *adapter_interface = "org.bluez.Adapter1";
inline constexpr const char *device_interface = "org.bluez.Device1";
inline constexpr const char *agent_object_path = "/org/bluez/agent_router";

// Sends the message and waits for the answer at libdbus's default time-out.
// True exactly when a non-error answer came back.
bool bluez_call(DBusConnection *connection, message_ptr message, DBusError *error);

// Sets a boolean property through org.freedesktop.DBus.Properties.Set. An
// object path libdbus would refuse (the empty path when no adapter was
// found, a path built from a bad address) fails here, before any message.
bool bluez_set_bool(DBusConnection *connection, DBusError *error, const char *object_path,
                    const char *interface, const char *property, bool value);

// Registers the agent object (message function: agent_message_handler, given
// user_data) and then RegisterAgent with the capability. When the object is
// still registered nothing is sent and false is returned.
bool agent_register(DBusConnection *connection, DBusError *error, const char *capability,
                    void *user_data);

// UnregisterAgent, then removes the agent object. A failed UnregisterAgent
// leaves the object registered.
bool agent_unregister(DBusConnection *connection, DBusError *error);

// A method call to BlueZ, or null when the path is not a valid object path
// (error then says so) or memory ran out.
message_ptr bluez_method_call(const char *object_path, const char *interface, const char *method,
                              DBusError *error);
