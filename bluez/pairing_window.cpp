// Applying the pairing window's state to the adapter.
#include "bluez/pairing_window.h"

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"

namespace {

bool window_includes_discoverable = false;

}  // namespace

void pairing_window_includes_discoverable(bool included) {
    window_includes_discoverable = included;
}

bool pairing_window_drives_discoverable() {
    return window_includes_discoverable;
}

bool set_window_property(DBusConnection *connection, error_guard &error, const char *property,
                         bool open) {
    return bluez_set_bool(connection, error, adapter_path, adapter_interface, property, open);
}

const char *apply_pairing_window(DBusConnection *connection, error_guard &error) {
    if (adapter_path[0] == '\0') {
        return nullptr;
    }
    const bool open = pairable_state == pairable::open;
    if (!set_window_property(connection, error, "Pairable", open)) {
        return "Pairable";
    }
    if (window_includes_discoverable &&
        !set_window_property(connection, error, "Discoverable", open)) {
        return "Discoverable";
    }
    return nullptr;
}
