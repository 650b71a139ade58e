// Drives the adapter's Pairable and Discoverable properties from a binary input.
#include "daemon/pairable_control.h"

#include <syslog.h>

#include "bluez/bluez_calls.h"
#include "daemon/process_state.h"

namespace {

constexpr uint32_t discoverable_with_input = 2;
constexpr int no_action = -2;

void set_adapter_property(DBusConnection *connection, DBusError *error, const char *property,
                          bool value) {
    if (!bluez_set_bool(connection, error, adapter_path, adapter_interface, property, value)) {
        syslog(LOG_ERR, "Setting %s failed: %s", property, error_text(error));
        dbus_error_free(error);
    }
}

// The state this pass should bring the adapter to, or no_action.
int decide_target(input_reader reader) {
    if (reader == nullptr) {
        return pairable_state == -1 ? 0 : no_action;
    }
    if (web_pairing_state != 0 && pairable_state != -1) {
        return no_action;
    }
    const int reading = reader();
    if (stop_requested) {
        // The reading was cut short by the stop; the window stays as it is.
        return no_action;
    }
    if (reading == 0) {
        return 1;
    }
    if (pairable_state == 0) {
        return no_action;
    }
    return 0;
}

}  // namespace

input_reader select_input_reader(const char *pairable_bin) {
    const char first = pairable_bin != nullptr ? pairable_bin[0] : '\0';
    if (first >= '0' && first <= '3') {
        return input_readers[first - '0'];
    }
    return nullptr;
}

void pairable_control_step(DBusConnection *connection, DBusError *error, const settings *settings,
                           input_reader reader) {
    const int target = decide_target(reader);
    if (target == no_action) {
        return;
    }
    set_adapter_property(connection, error, "Pairable", target == 1);
    if (settings->discoverable == discoverable_with_input) {
        set_adapter_property(connection, error, "Discoverable", target == 1);
    }
    if (pairable_state != target && !(pairable_state == -1 && target == 0)) {
        syslog(LOG_INFO, "By BIN%s, Bluetooth automatic paring has been %s", settings->pairable_bin,
               target == 1 ? "enabled" : "disabled");
    }
    pairable_state = target;
}
