// The pairing window: decided from a binary input, applied to the adapters,
// and kept on them.
#include "bluez/pairing_window.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "bluez/bluez_calls.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "common/text_copy.h"
#include "io/input_readers.h"
#include "io/monotonic_clock.h"
#include "io/repeat_limit.h"

namespace {

// Another client that flips a property back as soon as it is set must not
// make the daemon, bluetoothd and the bus spin.
constexpr long reassert_interval_ms = 250;
constexpr long retry_interval_ms = 1000;

constexpr uint32_t discoverable_with_input = 2;
// How often the selected input is read while no web pairing is under way.
constexpr int input_sample_period_ms = 20;
// A sample waits while libdbus holds messages BlueZ sent before it (a
// pairing they announce is judged by the window it began in), however late
// the daemon is, but no longer than this once it began to wait: a flood must
// not hold the window as it is.
constexpr long sample_wait_for_bus_ms = 100;

// The input named by the first character of MOD_BLUETOOTH_PAIRABLE_BIN
// ("0".."3") as its index, or -1 for anything else.
int select_input(const char *pairable_bin) {
    const char first = pairable_bin != nullptr ? pairable_bin[0] : '\0';
    return first >= '0' && first <= '3' ? first - '0' : -1;
}

// What start-up recorded, and the decision.
struct window_setup {
    int input = -1;  // index of the selected input, or -1
    const char *pairable_bin = "";
    bool includes_discoverable = false;
    const volatile sig_atomic_t *stop_flag = nullptr;
};
window_setup setup;
pairable state = pairable::undecided;

struct input_sampling {
    long next_sample_ms = 0;       // monotonic
    long waiting_since_ms = -1;    // monotonic, while a due sample waits for the bus
    bool unreadable_told = false;  // warned since the last good reading
};
input_sampling sampling;

// An adapter and what it is owed: a Set once not_before has come, when the
// last one failed or BlueZ last reported a property away from the decision.
struct kept_adapter {
    char path[adapter_path_max + 1] = "";
    bool unconfirmed = false;       // the last Set failed, or none was made yet
    bool busy = false;              // ... and BlueZ answered it Busy
    bool away[2] = {false, false};  // Pairable, Discoverable
    long set_ms = 0;                // monotonic, when the last Set was made
    long not_before_ms = 0;         // monotonic

    bool owed() const { return unconfirmed || away[0] || away[1]; }
};

kept_adapter selected;  // follows adapter_path(); reset when that changes
// However many there are: one left out would stay as pairable as BlueZ made it
// for the agent. A place freed by an adapter that went is used again.
std::vector<kept_adapter> others;

kept_adapter &selected_entry() {
    if (strcmp(selected.path, adapter_path()) != 0) {
        selected = kept_adapter{};
        copy_cut(selected.path, adapter_path());
    }
    return selected;
}

kept_adapter *other_entry(const char *path) {
    for (kept_adapter &other : others) {
        if (other.path[0] != '\0' && strcmp(other.path, path) == 0) {
            return &other;
        }
    }
    return nullptr;
}

// The adapter at path, when it is one the daemon keeps to the window.
kept_adapter *kept_entry(const char *path) {
    return adapter_selected() && strcmp(path, adapter_path()) == 0 ? &selected_entry()
                                                                   : other_entry(path);
}

// A Set that BlueZ keeps refusing is retried every second: one lasting
// condition, told by its first failure and then counts. Each property of the
// selected adapter is a kind of its own, apart from the other adapters', so
// that a second controller refused for good hides nothing of the first.
enum { pairable_kind = 0, discoverable_kind = 1, on_others = 2 };
void count_refusals(unsigned count, int kind) {
    const char *property = (kind & discoverable_kind) != 0 ? "Discoverable" : "Pairable";
    if ((kind & on_others) != 0) {
        log_message(LOG_ERR, "%u more failures when setting %s on other adapters were not logged",
                    count, property);
    } else {
        log_message(LOG_ERR, "%u more failures when setting %s were not logged", count, property);
    }
}
repeat_limit refusals[] = {
    {count_refusals, 0}, {count_refusals, 1}, {count_refusals, 2}, {count_refusals, 3}};

constexpr const char *bluez_error_busy = "org.bluez.Error.Busy";

// bluetoothd 5.82 answers Busy to a Set while it powers an adapter it has just
// exported, and the Set made again on its word that the adapter is powered
// goes through: a first Busy is no failure to tell (its record is cleared
// here), a second in a row is.
bool drop_passing_busy(const kept_adapter &adapter, error_guard &error, bool &busy) {
    const bool is_busy = dbus_error_has_name(error.get(), bluez_error_busy) != 0;
    busy = busy || is_busy;
    if (is_busy && !adapter.busy) {
        error.clear();
        return true;
    }
    return false;
}

void log_refusal(error_guard &error, const char *format, int kind) {
    if (refusals[kind].admit(monotonic_ms())) {
        log_failure(LOG_ERR, format, error);
    }
    error.clear();
}

bool set_window_property(DBusConnection *connection, error_guard &error, const char *path,
                         const char *property, bool open) {
    return bluez_set_bool(connection, error, path, adapter_interface, property, open);
}

// Sets Pairable, then Discoverable when the window drives it; both are tried
// and each failure logged here, since none ends anything: a failed Set is
// owed and tried again. Records when the adapter may be set again.
void set_window(DBusConnection *connection, kept_adapter &adapter, bool open) {
    error_guard error;
    const int kinds = &adapter == &selected ? 0 : on_others;
    bool done = true;
    bool busy = false;
    if (!set_window_property(connection, error, adapter.path, "Pairable", open)) {
        done = false;
        if (!drop_passing_busy(adapter, error, busy)) {
            log_refusal(error, "Setting Pairable failed: %s", kinds | pairable_kind);
        }
    }
    if (setup.includes_discoverable &&
        !set_window_property(connection, error, adapter.path, "Discoverable", open)) {
        done = false;
        if (!drop_passing_busy(adapter, error, busy)) {
            log_refusal(error, "Setting Discoverable failed: %s", kinds | discoverable_kind);
        }
    }
    adapter.unconfirmed = !done;
    adapter.busy = busy;
    adapter.away[0] = adapter.away[1] = false;
    adapter.set_ms = monotonic_ms();
    adapter.not_before_ms = adapter.set_ms + (done ? reassert_interval_ms : retry_interval_ms);
}

// A failed Set waits a second in case BlueZ refuses it for a while; BlueZ's
// word that the adapter has changed since (bluetoothd 5.82 answers Busy while
// it powers an adapter, then makes it pairable) makes it due as soon as the
// bound on re-assertions allows.
void hurry(kept_adapter &adapter) {
    adapter.not_before_ms = std::min(adapter.not_before_ms, adapter.set_ms + reassert_interval_ms);
}

bool is_other(const char *path) {
    return path[0] != '\0' && strcmp(path, adapter_path()) != 0 &&
           strlen(path) <= adapter_path_max && is_adapter_path(path);
}

// The time of a pass, read once and only when an adapter is owed a Set: the
// loop asks on every wake-up, and most find nothing owed.
class lazy_clock {
  public:
    long now() {
        if (now_ms_ < 0) {
            now_ms_ = monotonic_ms();
        }
        return now_ms_;
    }

  private:
    long now_ms_ = -1;
};

long due_in_ms(const kept_adapter &adapter, long now) {
    return adapter.not_before_ms > now ? adapter.not_before_ms - now : 0;
}

// The decision the selected adapter is held to; none before the first one
// and while a web pairing keeps the adapter as BlueZ's registration made it.
std::optional<bool> held_decision(bool web_pairing_idle) {
    if (state == pairable::undecided || !web_pairing_idle) {
        return std::nullopt;
    }
    return state == pairable::open;
}

bool sample_due(long now, bool web_pairing_idle) {
    return setup.input >= 0 && web_pairing_idle && now >= sampling.next_sample_ms;
}

bool decision_due(long now, bool web_pairing_idle) {
    return adapter_selected() &&
           (state == pairable::undecided || sample_due(now, web_pairing_idle));
}

// An input that fails every other reading would be told 25 times a second.
void count_unreadable_spells(unsigned count, int /*kind*/) {
    log_message(LOG_WARNING, "%u more warnings that input %s cannot be read were not logged", count,
                input_name(setup.input));
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
                        input_name(setup.input));
        }
        sampling.unreadable_told = true;
    }
}

// What this pass should bring the adapter to; none: nothing to do.
std::optional<pairable> decide_target(long now, bool web_pairing_idle, bool bus_pending) {
    if (!decision_due(now, web_pairing_idle)) {
        return std::nullopt;
    }
    if (setup.input < 0) {
        return pairable::closed;
    }
    if (bus_pending && state != pairable::undecided) {
        if (sampling.waiting_since_ms < 0) {
            sampling.waiting_since_ms = now;
        }
        if (now - sampling.waiting_since_ms < sample_wait_for_bus_ms) {
            return std::nullopt;
        }
    }
    sampling.waiting_since_ms = -1;
    sampling.next_sample_ms = sampling.next_sample_ms + input_sample_period_ms > now
                                  ? sampling.next_sample_ms + input_sample_period_ms
                                  : now + input_sample_period_ms;
    const int reading = input_read(setup.input);
    if (setup.stop_flag != nullptr && *setup.stop_flag != 0) {
        // The reading was cut short by the stop; the window stays as it is.
        return std::nullopt;
    }
    note_reading(reading);
    return reading <= 0 ? pairable::open : pairable::closed;
}

void decide(DBusConnection *connection, bool web_pairing_idle) {
    const bool bus_pending =
        dbus_connection_get_dispatch_status(connection) != DBUS_DISPATCH_COMPLETE;
    const std::optional<pairable> target =
        decide_target(monotonic_ms(), web_pairing_idle, bus_pending);
    if (!target || *target == state) {
        return;
    }
    const bool open = *target == pairable::open;
    set_window(connection, selected_entry(), open);
    // The first decision is announced only when it opens the window.
    if (!(state == pairable::undecided && !open)) {
        log_message(LOG_INFO, "By BIN%s, Bluetooth automatic paring has been %s",
                    setup.pairable_bin, open ? "enabled" : "disabled");
    }
    state = *target;
}

// Sets the adapters that are owed a Set and whose time has come: the
// selected one only while it is held to a decision.
void settle(DBusConnection *connection, std::optional<bool> selected_decision) {
    lazy_clock clock;
    if (selected_decision && adapter_selected()) {
        kept_adapter &adapter = selected_entry();
        if (adapter.owed() && due_in_ms(adapter, clock.now()) == 0) {
            set_window(connection, adapter, *selected_decision);
        }
    }
    for (kept_adapter &other : others) {
        if (other.owed() && is_other(other.path) && due_in_ms(other, clock.now()) == 0) {
            set_window(connection, other, false);
        }
    }
}

}  // namespace

pairable pairing_window_state() {
    return state;
}

void pairing_window_set_up(const settings &settings, const volatile sig_atomic_t *stop_flag) {
    sampling = input_sampling{};
    setup.input = select_input(settings.pairable_bin);
    setup.pairable_bin = settings.pairable_bin != nullptr ? settings.pairable_bin : "";
    setup.includes_discoverable = settings.discoverable == discoverable_with_input;
    setup.stop_flag = stop_flag;
    input_set_cancel_flag(stop_flag);
}

void pairing_window_step(DBusConnection *connection, bool web_pairing_idle) {
    decide(connection, web_pairing_idle);
    // A report that BlueZ takes back in a message still queued (its
    // announcement of a registration, then of our own Set) needs no Set.
    if (dbus_connection_get_dispatch_status(connection) == DBUS_DISPATCH_COMPLETE) {
        settle(connection, held_decision(web_pairing_idle));
    }
}

int pairing_window_due_ms(bool web_pairing_idle) {
    lazy_clock clock;
    if (decision_due(clock.now(), web_pairing_idle)) {
        return 0;
    }
    long due = -1;
    auto consider = [&](long in_ms) { due = due < 0 || in_ms < due ? in_ms : due; };
    const std::optional<bool> selected_decision = held_decision(web_pairing_idle);
    if (selected_decision && adapter_selected() && selected_entry().owed()) {
        consider(due_in_ms(selected_entry(), clock.now()));
    }
    for (const kept_adapter &other : others) {
        if (is_other(other.path) && other.owed()) {
            consider(due_in_ms(other, clock.now()));
        }
    }
    if (adapter_selected() && setup.input >= 0 && web_pairing_idle) {
        consider(sampling.next_sample_ms - clock.now());
    }
    return static_cast<int>(due);
}

void pairing_window_restart() {
    state = pairable::undecided;
}

void pairing_window_reapply(DBusConnection *connection) {
    if (adapter_selected()) {
        set_window(connection, selected_entry(), state == pairable::open);
    }
    pairing_window_shut_others(connection);
}

void pairing_window_shut_others(DBusConnection *connection) {
    for (kept_adapter &other : others) {
        if (other.path[0] != '\0' && is_other(other.path)) {
            set_window(connection, other, false);
        }
    }
}

void pairing_window_adapters_listed(const object_paths &paths) {
    pairing_window_adapters_gone();
    for (const std::string &path : paths) {
        pairing_window_adapter_added(path.c_str());
    }
}

void pairing_window_adapter_added(const char *path) {
    if (!is_other(path) || other_entry(path) != nullptr) {
        return;
    }
    auto free_place = std::find_if(others.begin(), others.end(),
                                   [](const kept_adapter &other) { return other.path[0] == '\0'; });
    kept_adapter &other = free_place != others.end() ? *free_place : others.emplace_back();
    copy_cut(other.path, path);
    other.unconfirmed = true;  // nothing known of it yet
    other.not_before_ms = 0;
}

void pairing_window_adapter_removed(const char *path) {
    if (kept_adapter *other = other_entry(path)) {
        *other = kept_adapter{};
    }
}

void pairing_window_adapters_gone() {
    for (kept_adapter &other : others) {
        other = kept_adapter{};
    }
}

void pairing_window_reported(const char *path, bool discoverable, bool value,
                             bool web_pairing_idle) {
    if (discoverable && !setup.includes_discoverable) {
        return;
    }
    kept_adapter *adapter = kept_entry(path);
    const bool is_selected = adapter == &selected;
    const std::optional<bool> selected_decision = held_decision(web_pairing_idle);
    if (adapter == nullptr || (is_selected && !selected_decision)) {
        return;
    }
    const bool away = is_selected ? value != *selected_decision : value;
    adapter->away[discoverable ? 1 : 0] = away;
    if (away) {
        hurry(*adapter);
    }
}

void pairing_window_powered(const char *path) {
    kept_adapter *adapter = kept_entry(path);
    if (adapter != nullptr && adapter->unconfirmed) {
        hurry(*adapter);
    }
}

bool pairing_window_shut_down(DBusConnection *connection) {
    if (state == pairable::closed) {
        return true;
    }
    error_guard error;
    const bool done =
        bluez_set_bool(connection, error, adapter_path(), adapter_interface, "Pairable", false);
    if (!done) {
        log_failure(LOG_WARNING, "(Quiting) Disabling Pairable failed: %s", error);
    }
    log_message(LOG_INFO, "(Quiting) Bluetooth automatic paring by BIN has been disabled");
    return done;
}

void pairing_window_assume(pairable assumed) {
    state = assumed;
}
