// The judging of a device that paired on its own initiative: trusted, or
// removed.
#pragma once

#include <dbus/dbus.h>

#include "webui/web_pairing.h"

// For the changed properties a{sv} of device (BlueZ's PropertiesChanged of
// org.bluez.Device1) that carry "Paired" or "Bonded": a pairing is judged by
// when it began, at its first sign (Bonded or Paired true;
// bluez/device_pairings.h keeps the verdict). One that began while the
// pairing window was open is trusted once Paired; one that began while it
// was closed, or during the web pairing of another device (request), is
// removed, and said so. A device paired before is never removed: its Paired
// announced again (a stored bond after its first service
// discovery, the device of a web pairing) is copied into "Trusted" again.
// Paired false is copied into "Trusted". Left unhandled for the requested
// device of a web pairing, or when the properties do not fit.
DBusHandlerResult judge_paired_device(DBusConnection *connection, const char *device,
                                      DBusMessageIter *changed,
                                      const pairing_request_record *request);

// For InterfacesAdded from BlueZ: a device exported paired or bonded while
// not connected is a stored bond bluetoothd has loaded (at its start, or an
// adapter's), paired before; one exported so while connected was made by
// the pairing under way, whose first sign this is: judged, and trusted once
// BlueZ announces it Paired.
void judge_added_device(DBusConnection *connection, DBusMessage *message,
                        const pairing_request_record *request);
