// BlueZ's object list: the GetManagedObjects call and the reader of its reply.
#include "common/managed_objects.h"

#include <cctype>
#include <cstring>

namespace {

constexpr const char *adapter_prefix = "/org/bluez/hci";

}  // namespace

message_ptr managed_objects_call(error_guard &error) {
    message_ptr call = adopt_message(dbus_message_new_method_call(
        bluez_service, object_manager_path, object_manager_interface, "GetManagedObjects"));
    if (!call) {
        set_no_memory(error);
    }
    return call;
}

bool is_managed_objects_reply(DBusMessage *reply) {
    return dbus_message_has_signature(reply, "a{oa{sa{sv}}}") != FALSE;
}

bool properties_changed_of(DBusMessage *message, const char *interface, DBusMessageIter *changed) {
    DBusMessageIter args;
    const char *name = nullptr;
    if (!dbus_message_iter_init(message, &args) ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_STRING) {
        return false;
    }
    dbus_message_iter_get_basic(&args, &name);
    if (strcmp(name, interface) != 0 || !dbus_message_iter_next(&args)) {
        return false;
    }
    char *signature = dbus_message_iter_get_signature(&args);
    const bool dictionary = signature != nullptr && strcmp(signature, "a{sv}") == 0;
    dbus_free(signature);
    *changed = args;
    return dictionary;
}

bool variant_bool(DBusMessageIter *variant, bool *value) {
    DBusMessageIter inside;
    dbus_message_iter_recurse(variant, &inside);
    if (dbus_message_iter_get_arg_type(&inside) != DBUS_TYPE_BOOLEAN) {
        return false;
    }
    dbus_bool_t flag = FALSE;
    dbus_message_iter_get_basic(&inside, &flag);
    *value = flag != FALSE;
    return true;
}

bool variant_is_true(DBusMessageIter *variant) {
    bool value = false;
    return variant_bool(variant, &value) && value;
}

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

const char *first_adapter_in_reply(DBusMessage *reply) {
    const char *found = nullptr;
    // Only the object paths count; the interfaces beside them are not looked at.
    visit_managed_objects(reply, [&found](const char *path, DBusMessageIter * /*interfaces*/) {
        if (!is_adapter_path(path)) {
            return false;
        }
        found = path;
        return true;
    });
    return found;
}
