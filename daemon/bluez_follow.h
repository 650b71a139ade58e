// Following BlueZ through the gateway's life: bluetoothd restarted by an
// update, a crash or a watchdog, and controllers that vanish and come back as
// another hciN. Learnt from the bus alone: NameOwnerChanged of "org.bluez" from
// the bus driver, InterfacesAdded and InterfacesRemoved of adapters (and of
// devices, for what is known of their pairings) from the owner of "org.bluez".
#pragma once

#include <dbus/dbus.h>

#include "webui/web_pairing.h"

// A connection filter (user data: the pairing_request record) installed
// after the agent's. It acts on the three signals above, keeping what
// bluez/bluez_link.h knows of BlueZ up to date, and leaves every message
// unhandled, so nothing reaches the agent object any differently.
DBusHandlerResult follow_bluez(DBusConnection *connection, DBusMessage *message, void *user_data);
