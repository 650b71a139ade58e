// The one reader of a device's properties in BlueZ's object list.
#include "client/device_properties.h"

#include <cstring>

#include "common/managed_objects.h"

std::optional<std::string> variant_string(DBusMessageIter *variant) {
    DBusMessageIter value;
    dbus_message_iter_recurse(variant, &value);
    if (dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_STRING) {
        return std::nullopt;
    }
    const char *text = nullptr;
    dbus_message_iter_get_basic(&value, &text);
    return std::string(text);
}

namespace {

// The 16-bit number inside a variant (BlueZ's RSSI), when it holds one.
std::optional<int> variant_int16(DBusMessageIter *variant) {
    DBusMessageIter value;
    dbus_message_iter_recurse(variant, &value);
    if (dbus_message_iter_get_arg_type(&value) != DBUS_TYPE_INT16) {
        return std::nullopt;
    }
    dbus_int16_t number = 0;
    dbus_message_iter_get_basic(&value, &number);
    return number;
}

// Reads one property of org.bluez.Device1 into the device; `alias` keeps the
// Alias apart so that it wins over the Name whatever their order.
void read_property(const char *name, DBusMessageIter *value, listed_device &device,
                   std::optional<std::string> &alias) {
    if (std::strcmp(name, "Address") == 0) {
        device.address = variant_string(value).value_or("");
    } else if (std::strcmp(name, "Alias") == 0) {
        alias = variant_string(value);
    } else if (std::strcmp(name, "Name") == 0) {
        device.name = variant_string(value).value_or("");
    } else if (std::strcmp(name, "Paired") == 0) {
        device.paired = variant_is_true(value);
    } else if (std::strcmp(name, "Trusted") == 0) {
        device.trusted = variant_is_true(value);
    } else if (std::strcmp(name, "Connected") == 0) {
        device.connected = variant_is_true(value);
    } else if (std::strcmp(name, "RSSI") == 0) {
        device.rssi = variant_int16(value);
    }
}

}  // namespace

std::optional<listed_device> device_of_object(DBusMessageIter *interfaces) {
    std::optional<listed_device> found;
    visit_entries(interfaces, [&found](const char *interface, DBusMessageIter *properties) {
        if (std::strcmp(interface, device_interface) != 0) {
            return false;
        }
        listed_device device;
        std::optional<std::string> alias;
        visit_entries(properties, [&](const char *name, DBusMessageIter *value) {
            read_property(name, value, device, alias);
            return false;
        });
        if (alias && !alias->empty()) {
            device.name = *alias;
        }
        found = device;
        return true;
    });
    return found;
}
