// Turns a device's announced "Paired" value into its "Trusted" property.
#include "agent/trust_on_paired.h"

#include <cstring>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/device_path.h"
#include "bluez/pairing_window.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "io/monotonic_clock.h"
#include "io/repeat_limit.h"
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

// A flood of strangers is told by its first removal and then counts.
enum { removal, failed_removal };
void count_removals(unsigned count, int kind) {
    if (kind == removal) {
        log_message(LOG_WARNING,
                    "%u more removals of devices that paired while refused were not logged", count);
    } else {
        log_message(LOG_ERR, "%u more failures when removing a device were not logged", count);
    }
}
repeat_limit removals(count_removals, removal);
repeat_limit failed_removals(count_removals, failed_removal);

// A device that paired where the daemon would have refused it: the kernel
// lets a pairing that asks no bonding through whatever Pairable says, Linux
// 5.10 accepts a Just Works pairing without asking the agent, and an emulated
// controller may skip the host's say. Untrusted is not enough (network access
// is granted to anyone paired): it is removed, and its bond and link go.
DBusHandlerResult remove_stranger(DBusConnection *connection, const char *device,
                                  const char *address, bool web_pairing) {
    const bool told = removals.admit(monotonic_ms());
    if (told && web_pairing) {
        log_message(LOG_WARNING, "Device %s paired while another device is being paired; removed",
                    address);
    } else if (told) {
        log_message(LOG_WARNING, "Device %s paired while the pairing window is closed; removed",
                    address);
    }
    error_guard error;
    if (!bluez_remove_device(connection, error, adapter_path(), device) &&
        failed_removals.admit(monotonic_ms())) {
        log_message(LOG_ERR, "Removing device %s failed: %s", address, error.text());
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

}  // namespace

DBusHandlerResult trust_on_paired(DBusConnection *connection, DBusMessage *message,
                                  const pairing_request_record *request) {
    bool paired = false;
    if (!read_paired(message, &paired)) {
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
    if (web_pairing_state != web_pairing::idle) {
        // The requested device's trust is the web pairing's to give.
        if (!paired || request == nullptr || is_requested_device(device, *request)) {
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        }
        return remove_stranger(connection, device, address, true);
    }
    if (paired && pairable_state != pairable::open) {
        return remove_stranger(connection, device, address, false);
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
