// Who may speak for BlueZ. Any local process may send a signal, a reply or a
// method call straight to the daemon's connection; only the connection that
// owns "org.bluez" is listened to.
#pragma once

#include <dbus/dbus.h>

// Remembers the unique name that currently owns "org.bluez" (null: none).
void bluez_owner_remember(const char *unique_name);

// True when the message comes from the owner of "org.bluez". A sender other
// than the remembered one makes it ask the bus once, so a restarted BlueZ is
// followed.
bool message_from_bluez(DBusConnection *connection, DBusMessage *message);
