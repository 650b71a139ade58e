// Trust for devices that paired on their own initiative.
#pragma once

#include <dbus/dbus.h>

#include "webui/web_pairing.h"

// For a PropertiesChanged signal of org.bluez.Device1 that carries "Paired",
// copies the value into the device's "Trusted" property. A device announced
// paired while the pairing window is not open, or during the web pairing of
// another device (request), is removed instead, and said so. Left unhandled
// for the requested device of a web pairing, or when the signal does not fit.
DBusHandlerResult trust_on_paired(DBusConnection *connection, DBusMessage *message,
                                  const pairing_request_record *request);
