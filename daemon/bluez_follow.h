// Following BlueZ through the gateway's life: bluetoothd restarted by an
// update, a crash or a watchdog, and controllers that vanish and come back as
// another hciN. Learnt from the bus alone: NameOwnerChanged of "org.bluez" from
// the bus driver, InterfacesAdded and InterfacesRemoved of adapters from the
// owner of "org.bluez".
#pragma once

#include <dbus/dbus.h>

#include "webui/web_pairing.h"

// What the daemon knows of BlueZ beyond the adapter it works on.
struct bluez_presence {
    bool present = true;                              // "org.bluez" has an owner
    bool agent_registered = true;                     // the agent is registered with that owner
    const pairing_request_record *request = nullptr;  // the web pairing, for its address
};

// Why a web pairing cannot start now, for the log; null when it can.
const char *pairing_unavailable(const bluez_presence &presence);

// A connection filter (user data: the bluez_presence) installed after the
// agent's. It acts on the three signals above and leaves every message
// unhandled, so nothing reaches the agent object any differently.
DBusHandlerResult follow_bluez(DBusConnection *connection, DBusMessage *message, void *user_data);
