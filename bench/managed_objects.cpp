// The stand-in's answer to GetManagedObjects: its adapter and its device.
#include "bench/managed_objects.h"

#include <initializer_list>

#include "bench/bluez_standin.h"

namespace bench {

namespace {

struct property {
    const char *name;
    int type;
    const void *value;  // as dbus_message_iter_append_basic takes it
};

// One "{sv}" entry.
bool append_property(DBusMessageIter *dict, const property &item) {
    const char signature[2] = {static_cast<char>(item.type), '\0'};
    DBusMessageIter entry;
    DBusMessageIter variant;
    return dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) &&
           dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &item.name) &&
           dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant) &&
           dbus_message_iter_append_basic(&variant, item.type, item.value) &&
           dbus_message_iter_close_container(&entry, &variant) &&
           dbus_message_iter_close_container(dict, &entry);
}

// One "{oa{sa{sv}}}" entry: an object with a single interface.
bool append_object(DBusMessageIter *objects, const char *path, const char *interface,
                   std::initializer_list<property> properties) {
    DBusMessageIter object;
    DBusMessageIter interfaces;
    DBusMessageIter entry;
    DBusMessageIter dict;
    if (!dbus_message_iter_open_container(objects, DBUS_TYPE_DICT_ENTRY, nullptr, &object) ||
        !dbus_message_iter_append_basic(&object, DBUS_TYPE_OBJECT_PATH, &path) ||
        !dbus_message_iter_open_container(&object, DBUS_TYPE_ARRAY, "{sa{sv}}", &interfaces) ||
        !dbus_message_iter_open_container(&interfaces, DBUS_TYPE_DICT_ENTRY, nullptr, &entry) ||
        !dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &interface) ||
        !dbus_message_iter_open_container(&entry, DBUS_TYPE_ARRAY, "{sv}", &dict)) {
        return false;
    }
    for (const property &item : properties) {
        if (!append_property(&dict, item)) {
            return false;
        }
    }
    return dbus_message_iter_close_container(&entry, &dict) &&
           dbus_message_iter_close_container(&interfaces, &entry) &&
           dbus_message_iter_close_container(&object, &interfaces) &&
           dbus_message_iter_close_container(objects, &object);
}

bool append_tree(DBusMessageIter *objects) {
    static const char *adapter_address = "00:AA:01:00:00:01";
    static const char *adapter_path = standin_adapter_path;
    static const char *device_address = standin_device_address;
    static const dbus_bool_t yes = TRUE;
    static const dbus_bool_t no = FALSE;
    return append_object(objects, "/org/bluez", "org.bluez.AgentManager1", {}) &&
           append_object(objects, standin_adapter_path, "org.bluez.Adapter1",
                         {{"Address", DBUS_TYPE_STRING, &adapter_address},
                          {"Powered", DBUS_TYPE_BOOLEAN, &yes},
                          {"Pairable", DBUS_TYPE_BOOLEAN, &no}}) &&
           append_object(objects, standin_device_path, "org.bluez.Device1",
                         {{"Address", DBUS_TYPE_STRING, &device_address},
                          {"Adapter", DBUS_TYPE_OBJECT_PATH, &adapter_path},
                          {"Paired", DBUS_TYPE_BOOLEAN, &no},
                          {"Trusted", DBUS_TYPE_BOOLEAN, &no}});
}

}  // namespace

message_ptr managed_objects_reply(DBusMessage *call) {
    message_ptr reply(dbus_message_new_method_return(call));
    DBusMessageIter args;
    DBusMessageIter objects;
    if (!reply) {
        return nullptr;
    }
    dbus_message_iter_init_append(reply.get(), &args);
    if (!dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{oa{sa{sv}}}", &objects)) {
        return nullptr;
    }
    if (!append_tree(&objects)) {
        dbus_message_iter_abandon_container(&args, &objects);
        return nullptr;
    }
    return dbus_message_iter_close_container(&args, &objects) ? std::move(reply) : nullptr;
}

}  // namespace bench
