// Keeps track of the unique bus name that owns "org.bluez".
#include "bluez/bluez_owner.h"

#include <cstring>

#include "bluez/bluez_names.h"
#include "bluez/dbus_handles.h"

namespace {

// The bus answers at once; a short limit keeps a troubled bus from stalling
// the loop for libdbus's default 25 s.
constexpr int owner_lookup_timeout_ms = 1000;

// Unique bus name of the connection that owns "org.bluez", as last seen.
constexpr std::size_t bus_name_max = 255;
char bluez_owner[bus_name_max + 1] = "";

// Asks the bus for the current owner of "org.bluez" and remembers it.
bool refresh_owner(DBusConnection *connection) {
    message_ptr call = adopt_message(dbus_message_new_method_call(
        DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner"));
    const char *name = bluez_service;
    if (!call ||
        !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
        return false;
    }
    error_guard error;
    message_ptr reply = adopt_message(dbus_connection_send_with_reply_and_block(
        connection, call.get(), owner_lookup_timeout_ms, error.get()));
    const char *owner = nullptr;
    if (!reply ||
        !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID)) {
        return false;
    }
    bluez_owner_remember(owner);
    return true;
}

}  // namespace

void bluez_owner_remember(const char *unique_name) {
    if (unique_name == nullptr) {
        bluez_owner[0] = '\0';
        return;
    }
    strncpy(bluez_owner, unique_name, bus_name_max);
    bluez_owner[bus_name_max] = '\0';
}

bool message_from_bluez(DBusConnection *connection, DBusMessage *message) {
    const char *sender = dbus_message_get_sender(message);
    if (sender == nullptr) {
        return false;
    }
    if (strcmp(sender, bluez_owner) == 0) {
        return true;
    }
    return refresh_owner(connection) && strcmp(sender, bluez_owner) == 0;
}
