// Trust for devices that paired on their own initiative.
#pragma once

#include <dbus/dbus.h>

// For a PropertiesChanged signal of org.bluez.Device1 that carries "Paired",
// copies the value into the device's "Trusted" property; a device announced
// paired while the pairing window is not open is left untrusted, and said so.
// Left unhandled while a web-requested pairing is under way, or when the
// signal does not fit.
DBusHandlerResult trust_on_paired(DBusConnection *connection, DBusMessage *message);
