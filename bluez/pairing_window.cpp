// Applying the pairing window's state to the adapter.
#include "bluez/pairing_window.h"

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "common/log.h"

namespace {

bool window_includes_discoverable = false;

bool set_window_property(DBusConnection *connection, error_guard &error, const char *property,
                         bool open) {
    return bluez_set_bool(connection, error, adapter_path(), adapter_interface, property, open);
}

}  // namespace

void pairing_window_includes_discoverable(bool included) {
    window_includes_discoverable = included;
}

void apply_pairing_window(DBusConnection *connection, error_guard &error, bool open) {
    if (!adapter_selected()) {
        return;
    }
    if (!set_window_property(connection, error, "Pairable", open)) {
        log_failure(LOG_ERR, "Setting Pairable failed: %s", error);
    }
    if (window_includes_discoverable &&
        !set_window_property(connection, error, "Discoverable", open)) {
        log_failure(LOG_ERR, "Setting Discoverable failed: %s", error);
    }
}
