// Finding the adapter among the objects BlueZ exports.
#include "daemon/adapter_select.h"

#include <cstring>
#include <utility>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_owner.h"
#include "bluez/managed_objects.h"
#include "daemon/process_state.h"

bool find_adapter_in_reply(DBusMessage *reply, char *out) {
    const char *path = first_adapter_in_reply(reply);
    if (path == nullptr) {
        return false;
    }
    strncpy(out, path, adapter_path_max);
    out[adapter_path_max] = '\0';
    return true;
}

bool select_adapter(DBusConnection *connection, error_guard &error) {
    forget_adapter();
    message_ptr request = managed_objects_call();
    if (!request) {
        dbus_set_error_const(error.get(), DBUS_ERROR_NO_MEMORY, "out of memory");
        return false;
    }
    message_ptr reply = adopt_message(
        dbus_connection_send_with_reply_and_block(connection, request.get(), -1, error.get()));
    request.reset();
    if (!reply) {
        return false;
    }
    bluez_owner_remember(dbus_message_get_sender(reply.get()));
    return find_adapter_in_reply(reply.get(), adapter_path);
}

void adopt_adapter(const char *path) {
    strncpy(adapter_path, path, adapter_path_max);
    adapter_path[adapter_path_max] = '\0';
}

void forget_adapter() {
    adapter_path[0] = '\0';
}

bool adapter_call(DBusConnection *connection, error_guard &error, const char *method) {
    message_ptr call = bluez_method_call(adapter_path, adapter_interface, method, error);
    return call && bluez_call(connection, std::move(call), error);
}
