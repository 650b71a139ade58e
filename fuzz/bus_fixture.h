// A private bus for the fuzz targets that talk to BlueZ: a dbus-daemon of
// their own, and a stand-in for BlueZ on a second connection, served by a
// thread, that owns "org.bluez" and answers every method call at once. Blocking
// calls to BlueZ therefore come back in microseconds, and nothing of the
// machine's own buses is touched.
#pragma once

#include <dbus/dbus.h>

#include <string>
#include <vector>

// How the stand-in answers the method calls it gets (none: it records them
// and leaves them unanswered, as a hung BlueZ).
enum class bluez_answer { success, error, none };

// The connection of the code under test; the bus and the stand-in start on
// the first call and end with the process. Aborts when the bus cannot start.
DBusConnection *fuzz_bus_connection();

// The answer the stand-in gives from now on.
void fuzz_bluez_answers(bluez_answer answer);

// The next call of member (a method name such as "RegisterAgent") gets the
// error error_name, whatever the answer is otherwise; the name is not copied.
void fuzz_bluez_fail_next(const char *member, const char *error_name);

// How many method calls the stand-in has answered so far.
unsigned long fuzz_bluez_calls();

// From now on, the stand-in keeps a line for each call it answers: the
// member, then for Set the property and its boolean value, for RegisterAgent
// the capability ("Set Pairable false", "RegisterAgent NoInputNoOutput").
void fuzz_bluez_record_calls();

// The lines kept since the last take, which are then dropped.
std::vector<std::string> fuzz_bluez_take_calls();

// The unique name of the stand-in's connection, the true owner of "org.bluez".
const char *fuzz_bluez_unique_name();

// Sends what is queued and drops every message that came in, so that answers
// nobody reads do not pile up between inputs.
void fuzz_bus_drain();

// A sender name that no connection of the private bus has; inputs use it
// for the owner of "org.bluez".
inline constexpr const char *fuzz_bluez_sender = ":1.4242";
