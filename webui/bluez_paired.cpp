// Asking BlueZ over the system bus whether a device is paired.
#include "webui/bluez_paired.h"

#include <cstring>

#include "bluez/dbus_handles.h"
#include "webui/address_text.h"

namespace {

constexpr const char *device_interface = "org.bluez.Device1";

// The two properties of one Device1 object that matter here.
struct device_facts {
    std::string address;
    bool paired = false;
};

const char *string_at(DBusMessageIter *iter) {
    const char *text = nullptr;
    dbus_message_iter_get_basic(iter, &text);
    return text;
}

// Fills `facts` from one property dictionary entry {sv}.
void read_device_property(DBusMessageIter *entry, device_facts &facts) {
    const std::string name = string_at(entry);
    DBusMessageIter value;
    dbus_message_iter_next(entry);
    dbus_message_iter_recurse(entry, &value);
    const int type = dbus_message_iter_get_arg_type(&value);
    if (name == "Address" && type == DBUS_TYPE_STRING) {
        facts.address = string_at(&value);
    } else if (name == "Paired" && type == DBUS_TYPE_BOOLEAN) {
        dbus_bool_t paired = FALSE;
        dbus_message_iter_get_basic(&value, &paired);
        facts.paired = paired != FALSE;
    }
}

// Reads a property dictionary a{sv}.
device_facts read_device(DBusMessageIter *properties) {
    device_facts facts;
    while (dbus_message_iter_get_arg_type(properties) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(properties, &entry);
        read_device_property(&entry, facts);
        dbus_message_iter_next(properties);
    }
    return facts;
}

// Looks at the interfaces dictionary a{sa{sv}} of one object.
device_pairing pairing_of_object(DBusMessageIter *interfaces, std::string_view address) {
    while (dbus_message_iter_get_arg_type(interfaces) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        DBusMessageIter properties;
        dbus_message_iter_recurse(interfaces, &entry);
        const bool is_device = std::strcmp(string_at(&entry), device_interface) == 0;
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &properties);
        if (is_device) {
            const device_facts facts = read_device(&properties);
            if (same_address(facts.address, address)) {
                return facts.paired ? device_pairing::paired : device_pairing::not_paired;
            }
        }
        dbus_message_iter_next(interfaces);
    }
    return device_pairing::no_such_device;
}

message_ptr managed_objects_call() {
    return message_ptr(dbus_message_new_method_call(
        "org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"));
}

}  // namespace

std::optional<device_pairing> pairing_in_managed_objects(DBusMessage *reply,
                                                         std::string_view address) {
    // With the signature checked first, no read below can meet another type.
    if (dbus_message_has_signature(reply, "a{oa{sa{sv}}}") == FALSE) {
        return std::nullopt;
    }
    DBusMessageIter top;
    DBusMessageIter objects;
    dbus_message_iter_init(reply, &top);
    dbus_message_iter_recurse(&top, &objects);
    device_pairing result = device_pairing::no_such_device;
    while (dbus_message_iter_get_arg_type(&objects) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        DBusMessageIter interfaces;
        dbus_message_iter_recurse(&objects, &entry);
        dbus_message_iter_next(&entry);  // the object path is not needed
        dbus_message_iter_recurse(&entry, &interfaces);
        const device_pairing found = pairing_of_object(&interfaces, address);
        if (found == device_pairing::paired) {
            return found;
        }
        if (found == device_pairing::not_paired) {
            result = found;
        }
        dbus_message_iter_next(&objects);
    }
    return result;
}

void connection_close::operator()(DBusConnection *connection) const {
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

bool bluez_lookup::connect(std::string &failure) {
    error_guard error;
    // Private, so that a lost bus cannot make libdbus end the process with
    // status 1, which means "pairing failed" to our caller.
    DBusConnection *connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get());
    if (connection == nullptr) {
        failure = std::string("cannot connect to the system bus: ") + error_text(error.get());
        return false;
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    connection_.reset(connection);
    return true;
}

pairing_lookup::answer bluez_lookup::is_paired(std::string_view address, int timeout_ms,
                                               std::string &failure) {
    if (!connection_ && !connect(failure)) {
        return answer::failed;
    }
    const message_ptr call = managed_objects_call();
    if (!call) {
        failure = "out of memory";
        return answer::failed;
    }
    error_guard error;
    const message_ptr reply(dbus_connection_send_with_reply_and_block(connection_.get(), call.get(),
                                                                      timeout_ms, error.get()));
    if (!reply) {
        failure =
            std::string("cannot read the pairing state from BlueZ: ") + error_text(error.get());
        return answer::failed;
    }
    const auto pairing = pairing_in_managed_objects(reply.get(), address);
    if (!pairing) {
        failure = "unexpected answer from BlueZ to GetManagedObjects";
        return answer::failed;
    }
    return *pairing == device_pairing::paired ? answer::paired : answer::not_paired;
}
