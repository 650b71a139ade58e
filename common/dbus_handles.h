// Small owners for libdbus resources. They only release what they hold; every
// libdbus call stays visible at its call site.
#pragma once

#include <dbus/dbus.h>

#include <memory>

#include "common/errors.h"

struct message_unref {
    void operator()(DBusMessage *message) const { dbus_message_unref(message); }
};

// Owns one reference to a message.
using message_ptr = std::unique_ptr<DBusMessage, message_unref>;

// Takes over a reference the caller already holds (a new message, a reply).
inline message_ptr adopt_message(DBusMessage *message) {
    return message_ptr(message);
}

struct connection_unref {
    void operator()(DBusConnection *connection) const { dbus_connection_unref(connection); }
};

// Owns one reference to a shared connection (dbus_bus_get): dropping it never
// closes the connection, which libdbus keeps for the whole process.
using shared_connection_ptr = std::unique_ptr<DBusConnection, connection_unref>;

struct connection_close {
    void operator()(DBusConnection *connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};

// Owns a private connection (dbus_bus_get_private), closed when it goes.
using private_connection_ptr = std::unique_ptr<DBusConnection, connection_close>;
