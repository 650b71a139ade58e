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

const char *apply_pairing_window(DBusConnection *connection, error_guard &error) {
    if (adapter_path[0] == '\0') {
        return nullptr;
    }
    const bool open = pairable_state == pairable::open;
    if (!bluez_set_bool(connection, error, adapter_path, adapter_interface, "Pairable", open)) {
        return "Pairable";
    }
    if (window_includes_discoverable &&
        !bluez_set_bool(connection, error, adapter_path, adapter_interface, "Discoverable", open)) {
        return "Discoverable";
    }
    return nullptr;
}
