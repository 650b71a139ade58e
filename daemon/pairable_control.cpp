// Drives the adapter's Pairable and Discoverable properties from a binary input.
#include "daemon/pairable_control.h"

#include <optional>

#include "bluez/pairing_window.h"
#include "common/log.h"
#include "daemon/lifecycle.h"
#include "webui/web_pairing.h"

namespace {

constexpr uint32_t discoverable_with_input = 2;

// What this pass should bring the adapter to; none: nothing to do.
std::optional<pairable> decide_target(input_reader reader) {
    if (!pairable_control_pending(reader)) {
        return std::nullopt;
    }
    if (reader == nullptr) {
        return pairable::closed;
    }
    const int reading = reader();
    if (stop_requested) {
        // The reading was cut short by the stop; the window stays as it is.
        return std::nullopt;
    }
    if (reading == 0) {
        return pairable::open;
    }
    if (pairable_state == pairable::closed) {
        return std::nullopt;
    }
    return pairable::closed;
}

}  // namespace

input_reader select_input_reader(const char *pairable_bin) {
    const char first = pairable_bin != nullptr ? pairable_bin[0] : '\0';
    if (first >= '0' && first <= '3') {
        return input_readers[first - '0'];
    }
    return nullptr;
}

void pairable_control_set_up(const settings &settings) {
    pairing_window_includes_discoverable(settings.discoverable == discoverable_with_input);
}

bool pairable_control_pending(input_reader reader) {
    if (reader == nullptr) {
        return pairable_state == pairable::undecided;
    }
    return web_pairing_state == web_pairing::idle || pairable_state == pairable::undecided;
}

void pairable_control_step(DBusConnection *connection, error_guard &error, const settings &settings,
                           input_reader reader) {
    const std::optional<pairable> target = decide_target(reader);
    if (!target) {
        return;
    }
    const bool open = *target == pairable::open;
    apply_pairing_window(connection, error, open);
    // The first decision is announced only when it opens the window.
    if (pairable_state != *target && !(pairable_state == pairable::undecided && !open)) {
        log_message(LOG_INFO, "By BIN%s, Bluetooth automatic paring has been %s",
                    settings.pairable_bin, open ? "enabled" : "disabled");
    }
    pairable_state = *target;
}

void pairable_control_restart() {
    pairable_state = pairable::undecided;
}
