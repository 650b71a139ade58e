// Turns a device's pairing, judged by when it began, into its "Trusted"
// property or its removal.
#include "agent/paired_device_judge.h"

#include <cstring>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/device_pairings.h"
#include "bluez/device_path.h"
#include "bluez/pairing_window.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "io/monotonic_clock.h"
#include "io/repeat_limit.h"
#include "webui/web_pairing.h"

namespace {

// What a device's properties tell of its pairing.
struct pairing_signs {
    bool unpaired = false;  // Paired false
    bool paired = false;    // Paired true
    bool bonded = false;    // Bonded true: bluez 5.55 has no such property
    bool connected = false;
};

// Reads the signs among a dictionary of Device1's properties, a{sv}.
pairing_signs read_signs(DBusMessageIter *properties) {
    pairing_signs signs;
    visit_entries(properties, [&signs](const char *name, DBusMessageIter *value) {
        bool flag = false;
        if (!variant_bool(value, &flag)) {
            return false;
        }
        if (strcmp(name, "Paired") == 0) {
            signs.paired = flag;
            signs.unpaired = !flag;
        } else if (strcmp(name, "Bonded") == 0) {
            signs.bonded = flag;
        } else if (strcmp(name, "Connected") == 0) {
            signs.connected = flag;
        }
        return false;
    });
    return signs;
}

// The first sign of a pairing: bluetoothd announces Bonded when the pairing
// has made its keys, the responder's Paired only after its service discovery
// (a second or more later), exports a device it had not found already paired
// and bonded, and a pairing that asks no bonding (or bluez 5.55) shows Paired
// alone. So the window is judged at the first of them.
pairing_began began_now() {
    if (web_pairing_state != web_pairing::idle) {
        return pairing_began::other_pairing;
    }
    return pairing_window_state() == pairable::open ? pairing_began::window_open
                                                    : pairing_began::window_closed;
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
                                  const char *address, pairing_began began) {
    const bool told = removals.admit(monotonic_ms());
    if (told && began == pairing_began::other_pairing) {
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

void set_trusted(DBusConnection *connection, const char *device, const char *address, bool value) {
    error_guard error;
    if (bluez_set_bool(connection, error, device, device_interface, "Trusted", value)) {
        log_message(LOG_INFO,
                    "Device %s has been paired and trusted on the request from the device",
                    address);
    } else {
        log_message(LOG_ERR, "Setting \"Trusted\" property to true failed: %s", error.text());
    }
}

// Bonded or Paired true for a device other than the one a web pairing asked
// for. The window is judged once, at the first sign; a device whose pairing
// began open, or that was paired before, has each announced Paired copied
// into Trusted (again for a stored bond or a web pairing's device, as BlueZ
// announces it again after a service discovery); any other is removed.
// announced: Paired itself was announced, not only a sign of its coming.
DBusHandlerResult judge_pairing(DBusConnection *connection, const char *device, const char *address,
                                bool announced) {
    pairing_began began = device_pairing(device);
    if (began == pairing_began::unseen) {
        began = began_now();
        // Not recorded (the table full): judged again at Paired, by the window then.
        note_device_pairing(device, began);
    }
    if (began == pairing_began::window_closed || began == pairing_began::other_pairing) {
        return remove_stranger(connection, device, address, began);
    }
    if (announced) {
        set_trusted(connection, device, address, true);
        note_device_pairing(device, pairing_began::before);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

// announced: the signs come in a PropertiesChanged, whose Paired is copied;
// a device exported with them is only judged.
DBusHandlerResult judge_signs(DBusConnection *connection, const char *device,
                              const pairing_signs &signs, const pairing_request_record *request,
                              bool announced) {
    // A device of another adapter paired where the daemon keeps the window
    // shut; it earns no trust here.
    if (!on_selected_adapter(device)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *address = address_from_device_path(device);
    if (address == nullptr) {
        address = device;
    }
    if (signs.unpaired) {
        // Unpaired: whatever comes next is a new pairing.
        forget_device_pairing(device);
        if (web_pairing_state != web_pairing::idle) {
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        }
        set_trusted(connection, device, address, false);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (!signs.paired && !signs.bonded) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    if (web_pairing_state != web_pairing::idle &&
        (request == nullptr || is_requested_device(device, *request))) {
        // The requested device's trust is the web pairing's to give.
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    return judge_pairing(connection, device, address, announced && signs.paired);
}

}  // namespace

DBusHandlerResult judge_paired_device(DBusConnection *connection, const char *device,
                                      DBusMessageIter *changed,
                                      const pairing_request_record *request) {
    return judge_signs(connection, device, read_signs(changed), request, true);
}

void judge_added_device(DBusConnection *connection, DBusMessage *message,
                        const pairing_request_record *request) {
    DBusMessageIter args;
    if (!dbus_message_has_signature(message, "oa{sa{sv}}") ||
        !dbus_message_iter_init(message, &args)) {
        return;
    }
    const char *device = nullptr;
    dbus_message_iter_get_basic(&args, &device);
    dbus_message_iter_next(&args);
    pairing_signs signs;
    visit_entries(&args, [&signs](const char *name, DBusMessageIter *properties) {
        if (strcmp(name, device_interface) != 0) {
            return false;
        }
        signs = read_signs(properties);
        return true;
    });
    signs.unpaired = false;  // the state it is exported in, not a change
    if (!signs.connected && (signs.paired || signs.bonded)) {
        note_device_pairing(device, pairing_began::before);
    } else {
        judge_signs(connection, device, signs, request, false);
    }
}
