// Turns a device's announced "Paired" value into its "Trusted" property.
#include "agent/trust_on_paired.h"

#include <syslog.h>

#include <cstring>

#include "bluez/bluez_calls.h"
#include "bluez/device_path.h"
#include "daemon/process_state.h"

namespace {

bool is_string(DBusMessageIter *iter, const char *text) {
    if (dbus_message_iter_get_arg_type(iter) != DBUS_TYPE_STRING) {
        return false;
    }
    const char *value = nullptr;
    dbus_message_iter_get_basic(iter, &value);
    return strcmp(value, text) == 0;
}

// Finds "Paired" among the changed properties (an array of dictionary
// entries) and reads its boolean. False when the array does not hold it.
bool find_paired(DBusMessageIter *changed, bool *paired) {
    DBusMessageIter entries;
    dbus_message_iter_recurse(changed, &entries);
    while (dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&entries, &entry);
        if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) {
            return false;
        }
        if (is_string(&entry, "Paired")) {
            DBusMessageIter variant;
            dbus_message_iter_next(&entry);
            if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_VARIANT) {
                return false;
            }
            dbus_message_iter_recurse(&entry, &variant);
            if (dbus_message_iter_get_arg_type(&variant) != DBUS_TYPE_BOOLEAN) {
                return false;
            }
            dbus_bool_t value = FALSE;
            dbus_message_iter_get_basic(&variant, &value);
            *paired = value != FALSE;
            return true;
        }
        dbus_message_iter_next(&entries);
    }
    return false;
}

// Reads (s interface, a{sv} changed, ...) and looks for "Paired" of a device.
bool read_paired(DBusMessage *message, bool *paired) {
    DBusMessageIter args;
    if (!dbus_message_iter_init(message, &args) || !is_string(&args, device_interface)) {
        return false;
    }
    dbus_message_iter_next(&args);
    if (dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_ARRAY) {
        return false;
    }
    return find_paired(&args, paired);
}

}  // namespace

DBusHandlerResult trust_on_paired(DBusConnection *connection, DBusMessage *message) {
    bool paired = false;
    if (web_pairing_state != web_pairing::idle || !read_paired(message, &paired)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *device = dbus_message_get_path(message);
    error_guard error;
    if (bluez_set_bool(connection, error, device, device_interface, "Trusted", paired)) {
        const char *address = address_from_device_path(device);
        syslog(LOG_INFO, "Device %s has been paired and trusted on the request from the device",
               address != nullptr ? address : device);
    } else {
        syslog(LOG_ERR, "Setting \"Trusted\" property to true failed: %s", error.text());
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}
