// Building BlueZ's object list and its signals for the readers' tests.
#include "object_list.h"

namespace {

void append_property(DBusMessageIter *dict, const fake_property &property) {
    const char signature[2] = {static_cast<char>(property.type), '\0'};
    const char *name = property.name.c_str();
    const char *text = property.text.c_str();
    const dbus_bool_t flag = property.number != 0;
    const auto small = static_cast<dbus_int16_t>(property.number);
    const auto large = static_cast<dbus_uint32_t>(property.number);
    const void *value = property.type == DBUS_TYPE_STRING    ? static_cast<const void *>(&text)
                        : property.type == DBUS_TYPE_BOOLEAN ? static_cast<const void *>(&flag)
                        : property.type == DBUS_TYPE_INT16   ? static_cast<const void *>(&small)
                                                             : static_cast<const void *>(&large);
    DBusMessageIter entry;
    DBusMessageIter variant;
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
    dbus_message_iter_append_basic(&variant, property.type, value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

// The interfaces dictionary a{sa{sv}} of an object.
void append_interfaces(DBusMessageIter *args, const fake_object &object) {
    DBusMessageIter interfaces;
    DBusMessageIter interface;
    DBusMessageIter properties;
    const char *name = object.interface.c_str();
    dbus_message_iter_open_container(args, DBUS_TYPE_ARRAY, "{sa{sv}}", &interfaces);
    if (!object.interface.empty()) {
        dbus_message_iter_open_container(&interfaces, DBUS_TYPE_DICT_ENTRY, nullptr, &interface);
        dbus_message_iter_append_basic(&interface, DBUS_TYPE_STRING, &name);
        dbus_message_iter_open_container(&interface, DBUS_TYPE_ARRAY, "{sv}", &properties);
        for (const auto &property : object.properties) {
            append_property(&properties, property);
        }
        dbus_message_iter_close_container(&interface, &properties);
        dbus_message_iter_close_container(&interfaces, &interface);
    }
    dbus_message_iter_close_container(args, &interfaces);
}

void append_object(DBusMessageIter *list, const fake_object &object) {
    DBusMessageIter entry;
    const char *path = object.path.c_str();
    dbus_message_iter_open_container(list, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_OBJECT_PATH, &path);
    append_interfaces(&entry, object);
    dbus_message_iter_close_container(list, &entry);
}

message_ptr object_manager_signal(const char *member, const fake_object &object,
                                  DBusMessageIter *args) {
    message_ptr signal =
        adopt_message(dbus_message_new_signal("/", "org.freedesktop.DBus.ObjectManager", member));
    const char *path = object.path.c_str();
    dbus_message_iter_init_append(signal.get(), args);
    dbus_message_iter_append_basic(args, DBUS_TYPE_OBJECT_PATH, &path);
    return signal;
}

}  // namespace

fake_property text(const std::string &name, const std::string &value) {
    return {name, DBUS_TYPE_STRING, value};
}

fake_property flag(const std::string &name, bool value) {
    return {name, DBUS_TYPE_BOOLEAN, "", value ? 1 : 0};
}

fake_property rssi(int value) {
    return {"RSSI", DBUS_TYPE_INT16, "", value};
}

fake_property device_class(unsigned value) {
    return {"Class", DBUS_TYPE_UINT32, "", static_cast<long>(value)};
}

fake_object adapter(const std::string &name) {
    return {"/org/bluez/" + name, "org.bluez.Adapter1", {text("Address", "00:AA:BB:CC:DD:EE")}};
}

fake_object device(const std::string &adapter, const std::string &address,
                   std::vector<fake_property> more) {
    std::string path = "/org/bluez/" + adapter + "/dev_" + address;
    for (char &c : path) {
        c = c == ':' ? '_' : c;
    }
    more.insert(more.begin(), text("Address", address));
    return {path, "org.bluez.Device1", more};
}

message_ptr managed_objects(const std::vector<fake_object> &objects) {
    message_ptr reply = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    DBusMessageIter top;
    DBusMessageIter list;
    dbus_message_iter_init_append(reply.get(), &top);
    dbus_message_iter_open_container(&top, DBUS_TYPE_ARRAY, "{oa{sa{sv}}}", &list);
    for (const auto &object : objects) {
        append_object(&list, object);
    }
    dbus_message_iter_close_container(&top, &list);
    return reply;
}

message_ptr interfaces_added(const fake_object &object) {
    DBusMessageIter args;
    message_ptr signal = object_manager_signal("InterfacesAdded", object, &args);
    append_interfaces(&args, object);
    return signal;
}

message_ptr interfaces_removed(const fake_object &object) {
    DBusMessageIter args;
    DBusMessageIter names;
    message_ptr signal = object_manager_signal("InterfacesRemoved", object, &args);
    const char *name = object.interface.c_str();
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &names);
    if (!object.interface.empty()) {
        dbus_message_iter_append_basic(&names, DBUS_TYPE_STRING, &name);
    }
    dbus_message_iter_close_container(&args, &names);
    return signal;
}
