// Which of the objects BlueZ exports is the adapter the daemon works on.
#pragma once

#include <dbus/dbus.h>

// "/org/bluez/hci" followed by nothing but decimal digits (possibly none).
bool is_adapter_path(const char *path);

// Walks a GetManagedObjects reply and copies the first adapter path, cut to
// adapter_path_max characters, into out. False when the reply holds none, or
// is not shaped a{oa{sa{sv}}}.
bool find_adapter_in_reply(DBusMessage *reply, char *out);
