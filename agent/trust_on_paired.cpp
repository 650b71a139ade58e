// Turns a device's announced "Paired" value into its "Trusted" property.
#include "agent/trust_on_paired.h"

#include <cstring>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/device_path.h"
#include "bluez/pairing_window.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "webui/web_pairing.h"

namespace {

// Reads "Paired" of a device among the changed properties. False when the
// signal does not carry it as a boolean.
bool read_paired(DBusMessage *message, bool *paired) {
    DBusMessageIter changed;
    if (!properties_changed_of(message, device_interface, &changed)) {
        return false;
    }
    bool found = false;
    visit_entries(&changed, [&](const char *name, DBusMessageIter *value) {
        if (strcmp(name, "Paired") != 0) {
            return false;
        }
        found = variant_bool(value, paired);
        return true;
    });
    return found;
}

}  // namespace

DBusHandlerResult trust_on_paired(DBusConnection *connection, DBusMessage *message) {
    bool paired = false;
    if (web_pairing_state != web_pairing::idle || !read_paired(message, &paired)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *device = dbus_message_get_path(message);
    // A device of another adapter paired where the daemon keeps the window
    // shut; it earns no trust here.
    if (!on_selected_adapter(device)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *address = address_from_device_path(device);
    if (address == nullptr) {
        address = device;
    }
    // The kernel lets a pairing that asks no bonding through whatever Pairable
    // says, and an emulated controller may skip the host's say altogether: a
    // device that paired with the window closed got past it, and is a stranger.
    if (paired && pairable_state != pairable::open) {
        log_message(LOG_WARNING, "Device %s paired while the pairing window is closed; not trusted",
                    address);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    error_guard error;
    if (bluez_set_bool(connection, error, device, device_interface, "Trusted", paired)) {
        log_message(LOG_INFO,
                    "Device %s has been paired and trusted on the request from the device",
                    address);
    } else {
        log_message(LOG_ERR, "Setting \"Trusted\" property to true failed: %s", error.text());
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}
