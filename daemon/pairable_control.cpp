// Drives the adapters' Pairable and Discoverable properties from a binary input.
#include "daemon/pairable_control.h"

#include <cstring>
#include <optional>

#include "bluez/bluez_link.h"
#include "bluez/pairing_window.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "daemon/lifecycle.h"
#include "io/input_readers.h"
#include "io/monotonic_clock.h"
#include "io/repeat_limit.h"
#include "webui/web_pairing.h"

namespace {

constexpr uint32_t discoverable_with_input = 2;

struct input_sampling {
    int input = -1;                // index of the selected input, or -1
    long next_sample_ms = 0;       // monotonic
    bool unreadable_told = false;  // warned since the last good reading
};
input_sampling sampling;

// The decision the selected adapter is held to; none before the first one
// and while a web pairing keeps the adapter as BlueZ's registration made it.
std::optional<bool> held_decision() {
    if (pairable_state == pairable::undecided || web_pairing_state != web_pairing::idle) {
        return std::nullopt;
    }
    return pairable_state == pairable::open;
}

bool sample_due(long now) {
    return sampling.input >= 0 && web_pairing_state == web_pairing::idle &&
           now >= sampling.next_sample_ms;
}

bool decision_due(long now) {
    return adapter_selected() && (pairable_state == pairable::undecided || sample_due(now));
}

// An input that fails every other reading would be told 25 times a second.
void count_unreadable_spells(unsigned count, int /*kind*/) {
    log_message(LOG_WARNING, "%u more warnings that input %s cannot be read were not logged", count,
                input_name(sampling.input));
}
repeat_limit unreadable_spells(count_unreadable_spells, 0);

// An unreadable input counts as active, so that a board without it can still
// pair; that leaves the window open to anyone, which the integrator must hear.
void note_reading(int reading) {
    if (reading >= 0) {
        sampling.unreadable_told = false;
    } else if (!sampling.unreadable_told) {
        if (unreadable_spells.admit(monotonic_ms())) {
            log_message(LOG_WARNING,
                        "Input %s cannot be read; the pairing window stays open until it can",
                        input_name(sampling.input));
        }
        sampling.unreadable_told = true;
    }
}

// What this pass should bring the adapter to; none: nothing to do.
std::optional<pairable> decide_target(long now) {
    if (!decision_due(now)) {
        return std::nullopt;
    }
    if (sampling.input < 0) {
        return pairable::closed;
    }
    sampling.next_sample_ms = sampling.next_sample_ms + input_sample_period_ms > now
                                  ? sampling.next_sample_ms + input_sample_period_ms
                                  : now + input_sample_period_ms;
    const int reading = input_read(sampling.input);
    if (stop_requested) {
        // The reading was cut short by the stop; the window stays as it is.
        return std::nullopt;
    }
    note_reading(reading);
    return reading <= 0 ? pairable::open : pairable::closed;
}

void decide(DBusConnection *connection, error_guard &error, const settings &settings) {
    const std::optional<pairable> target = decide_target(monotonic_ms());
    if (!target || *target == pairable_state) {
        return;
    }
    const bool open = *target == pairable::open;
    apply_pairing_window(connection, error, open);
    // The first decision is announced only when it opens the window.
    if (!(pairable_state == pairable::undecided && !open)) {
        log_message(LOG_INFO, "By BIN%s, Bluetooth automatic paring has been %s",
                    settings.pairable_bin, open ? "enabled" : "disabled");
    }
    pairable_state = *target;
}

// Reads an adapter's PropertiesChanged for the two properties of the window,
// and for its power, which it may have lacked to take the window's last Set.
void read_window_change(DBusMessage *message) {
    DBusMessageIter changed;
    if (!properties_changed_of(message, adapter_interface, &changed)) {
        return;
    }
    const char *path = dbus_message_get_path(message);
    visit_entries(&changed, [path](const char *name, DBusMessageIter *value) {
        const bool discoverable = strcmp(name, "Discoverable") == 0;
        bool flag = false;
        if ((discoverable || strcmp(name, "Pairable") == 0) && variant_bool(value, &flag)) {
            pairing_window_reported(path, discoverable, flag, held_decision());
        } else if (strcmp(name, "Powered") == 0 && variant_is_true(value)) {
            pairing_window_powered(path);
        }
        return false;
    });
}

}  // namespace

int select_input(const char *pairable_bin) {
    const char first = pairable_bin != nullptr ? pairable_bin[0] : '\0';
    return first >= '0' && first <= '3' ? first - '0' : -1;
}

void pairable_control_set_up(const settings &settings) {
    sampling = input_sampling{};
    sampling.input = select_input(settings.pairable_bin);
    pairing_window_includes_discoverable(settings.discoverable == discoverable_with_input);
}

void pairable_control_step(DBusConnection *connection, error_guard &error,
                           const settings &settings) {
    decide(connection, error, settings);
    // A report that BlueZ takes back in a message still queued (its
    // announcement of a registration, then of our own Set) needs no Set.
    if (dbus_connection_get_dispatch_status(connection) == DBUS_DISPATCH_COMPLETE) {
        pairing_window_settle(connection, held_decision());
    }
}

int pairable_control_due_ms() {
    const long now = monotonic_ms();
    int due = pairing_window_due_ms(held_decision());
    if (decision_due(now)) {
        return 0;
    }
    if (adapter_selected() && sampling.input >= 0 && web_pairing_state == web_pairing::idle) {
        const int sample = static_cast<int>(sampling.next_sample_ms - now);
        due = due < 0 || sample < due ? sample : due;
    }
    return due;
}

DBusHandlerResult watch_adapter_properties(DBusConnection * /*connection*/, DBusMessage *message,
                                           void * /*user_data*/) {
    if (dbus_message_is_signal(message, DBUS_INTERFACE_PROPERTIES, "PropertiesChanged") &&
        sent_by_bluez(message)) {
        read_window_change(message);
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void pairable_control_restart() {
    pairable_state = pairable::undecided;
}
