// The one handler for every incoming D-Bus message: installed as the
// connection's filter (user data: the pairing_request record) and as the
// message function of the agent object (user data: the record while the agent
// is registered as "DisplayYesNo", none otherwise).
#pragma once

#include <dbus/dbus.h>

// Serves RequestConfirmation, AuthorizeService, Release and Cancel of
// org.bluez.Agent1, the PropertiesChanged signals of devices, and the answer
// to a web-requested Pair.
DBusHandlerResult agent_message_handler(DBusConnection *connection, DBusMessage *message,
                                        void *user_data);
