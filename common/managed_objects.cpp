// BlueZ's object list: the GetManagedObjects call and the reader of its reply.
#include "common/managed_objects.h"

message_ptr managed_objects_call() {
    return adopt_message(dbus_message_new_method_call(
        bluez_service, object_manager_path, object_manager_interface, "GetManagedObjects"));
}

bool is_managed_objects_reply(DBusMessage *reply) {
    return dbus_message_has_signature(reply, "a{oa{sa{sv}}}") != FALSE;
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
