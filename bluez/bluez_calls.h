// The few D-Bus calls to BlueZ that the daemon is built from. They follow
// common/errors.h: a bool, and the reason in the caller's error record,
// which every function here expects clear; only agent_request_default, whose
// refusal ends nothing, logs. A function that takes a message_ptr takes the
// message's ownership.
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

// How long a blocking call waits for BlueZ's answer: bluez_call_timeout_ms
// normally, bluez_short_call_timeout_ms once the stop flag is set or while a
// bluez_hurry lives. bluetoothd answers these calls in milliseconds; one that
// has not answered in 10 s hangs, and libdbus's default of 25 s per call
// would hold a stop (SIGTERM during a call, then three shutdown calls) for
// well over a minute.
inline constexpr int bluez_call_timeout_ms = 10000;
inline constexpr int bluez_short_call_timeout_ms = 1000;

// Tells whether the daemon has been asked to stop; while it says so, every
// call waits the shorter time. Null (the default): no stop is ever asked for.
void bluez_set_stop_check(bool (*stopping)());

// While one lives, every call waits the shorter time: for the steps that
// follow a call BlueZ has already left unanswered far too long (a Pair
// past its limit), so that they hold the loop seconds, not minutes.
class bluez_hurry {
  public:
    bluez_hurry();
    ~bluez_hurry();
    bluez_hurry(const bluez_hurry &) = delete;
    bluez_hurry &operator=(const bluez_hurry &) = delete;
};

// The time-out for the next blocking call to BlueZ, in milliseconds.
int bluez_timeout_ms();

// Sends the message and waits for the answer at most bluez_timeout_ms().
// True exactly when a non-error answer came back.
bool bluez_call(DBusConnection *connection, message_ptr message, error_guard &error);

// Sets a boolean property through org.freedesktop.DBus.Properties.Set.
bool bluez_set_bool(DBusConnection *connection, error_guard &error, const char *object_path,
                    const char *interface, const char *property, bool value);

// Removes a device from an adapter (Adapter1.RemoveDevice): its bond goes and
// its link drops. device must be a valid object path (one BlueZ sent).
bool bluez_remove_device(DBusConnection *connection, error_guard &error, const char *adapter,
                         const char *device);

// The agent's registration, as the daemon made it: none, or the capability
// it was offered to BlueZ with. The agent object is on the connection exactly
// while it is not none. Changed only by the three calls below.
enum class agent_registration { none, no_input_no_output, display_yes_no };
agent_registration agent_registered_as();

// Registers the agent object, whose message function is handler (called with
// user_data), then calls RegisterAgent with the capability. When the object is
// still registered nothing is sent and false is returned. A failed
// RegisterAgent leaves the object registered, as offered with capability.
bool agent_register(DBusConnection *connection, error_guard &error,
                    DBusObjectPathMessageFunction handler, agent_registration capability,
                    void *user_data);

// RequestDefaultAgent, after each registration BlueZ took: bluetoothd gives
// the agent calls of a pairing the gateway did not start, and its adapters'
// bonding, to its default agent alone (the first to register, or the last to
// ask), else an administrator's agent would take the calls of strangers, and
// a web pairing with the window closed would pair without a bond. A refusal,
// logged here, leaves the registration good for the daemon's own Pair.
void agent_request_default(DBusConnection *connection);

// UnregisterAgent, then removes the agent object. A failed UnregisterAgent
// leaves the object registered.
bool agent_unregister(DBusConnection *connection, error_guard &error);

// Drops the agent object from the connection, if it is registered, without a
// word to BlueZ: for when BlueZ itself is gone, has released the agent, or
// never took the registration. The next agent_register then starts afresh.
void agent_forget(DBusConnection *connection);
