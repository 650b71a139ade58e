// Finding the adapter among the objects BlueZ exports.
#include "daemon/adapter_select.h"

#include <cctype>
#include <cstring>

#include "agent/bluez_sender.h"
#include "bluez/bluez_calls.h"
#include "daemon/process_state.h"

namespace {

constexpr const char *adapter_prefix = "/org/bluez/hci";
constexpr const char *object_manager_interface = "org.freedesktop.DBus.ObjectManager";

// Looks at every element of one dictionary entry; only object paths count.
bool find_adapter_in_entry(DBusMessageIter *entry, char *out) {
    DBusMessageIter element;
    dbus_message_iter_recurse(entry, &element);
    do {
        if (dbus_message_iter_get_arg_type(&element) != DBUS_TYPE_OBJECT_PATH) {
            continue;
        }
        const char *path = nullptr;
        dbus_message_iter_get_basic(&element, &path);
        if (is_adapter_path(path)) {
            strncpy(out, path, adapter_path_max);
            out[adapter_path_max] = '\0';
            return true;
        }
    } while (dbus_message_iter_next(&element));
    return false;
}

}  // namespace

bool is_adapter_path(const char *path) {
    const size_t prefix_length = strlen(adapter_prefix);
    if (strncmp(path, adapter_prefix, prefix_length) != 0) {
        return false;
    }
    for (const char *digit = path + prefix_length; *digit != '\0'; ++digit) {
        if (!isdigit(static_cast<unsigned char>(*digit))) {
            return false;
        }
    }
    return true;
}

bool find_adapter_in_reply(DBusMessage *reply, char *out) {
    DBusMessageIter args;
    if (!dbus_message_iter_init(reply, &args) ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY) {
        return false;
    }
    DBusMessageIter entries;
    dbus_message_iter_recurse(&args, &entries);
    while (dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY) {
        if (find_adapter_in_entry(&entries, out)) {
            return true;
        }
        dbus_message_iter_next(&entries);
    }
    return false;
}

bool select_adapter(DBusConnection *connection, DBusError *error) {
    adapter_path[0] = '\0';
    message_ptr request =
        bluez_method_call("/", object_manager_interface, "GetManagedObjects", error);
    if (!request) {
        return false;
    }
    message_ptr reply = adopt_message(
        dbus_connection_send_with_reply_and_block(connection, request.get(), -1, error));
    request.reset();
    if (!reply) {
        return false;
    }
    bluez_sender_remember(dbus_message_get_sender(reply.get()));
    return find_adapter_in_reply(reply.get(), adapter_path);
}
