// Applying the pairing window to the adapters, and keeping them to it.
#include "bluez/pairing_window.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/device_path.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "common/text_copy.h"
#include "io/monotonic_clock.h"
#include "io/repeat_limit.h"

namespace {

// Another client that flips a property back as soon as it is set must not
// make the daemon, bluetoothd and the bus spin.
constexpr long reassert_interval_ms = 250;
constexpr long retry_interval_ms = 1000;

bool window_includes_discoverable = false;

// An adapter and what it is owed: a Set once not_before has come, when the
// last one failed or BlueZ last reported a property away from the decision.
struct kept_adapter {
    char path[adapter_path_max + 1] = "";
    bool unconfirmed = false;       // the last Set failed, or none was made yet
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
// and each failure logged. Records when the adapter may be set again.
void set_window(DBusConnection *connection, error_guard &error, kept_adapter &adapter, bool open) {
    const int kinds = &adapter == &selected ? 0 : on_others;
    bool done = true;
    if (!set_window_property(connection, error, adapter.path, "Pairable", open)) {
        log_refusal(error, "Setting Pairable failed: %s", kinds | pairable_kind);
        done = false;
    }
    if (window_includes_discoverable &&
        !set_window_property(connection, error, adapter.path, "Discoverable", open)) {
        log_refusal(error, "Setting Discoverable failed: %s", kinds | discoverable_kind);
        done = false;
    }
    adapter.unconfirmed = !done;
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

}  // namespace

void pairing_window_includes_discoverable(bool included) {
    window_includes_discoverable = included;
}

void apply_pairing_window(DBusConnection *connection, error_guard &error, bool open) {
    if (adapter_selected()) {
        set_window(connection, error, selected_entry(), open);
    }
}

void other_adapters_from_reply(DBusMessage *reply) {
    forget_other_adapters();
    visit_managed_objects(reply, [](const char *path, DBusMessageIter * /*interfaces*/) {
        other_adapter_added(path);
        return false;
    });
}

void other_adapter_added(const char *path) {
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

void other_adapter_removed(const char *path) {
    if (kept_adapter *other = other_entry(path)) {
        *other = kept_adapter{};
    }
}

void forget_other_adapters() {
    for (kept_adapter &other : others) {
        other = kept_adapter{};
    }
}

void shut_other_adapters(DBusConnection *connection) {
    error_guard error;
    for (kept_adapter &other : others) {
        if (other.path[0] != '\0' && is_other(other.path)) {
            set_window(connection, error, other, false);
        }
    }
}

void pairing_window_reported(const char *path, bool discoverable, bool value,
                             std::optional<bool> selected_decision) {
    if (discoverable && !window_includes_discoverable) {
        return;
    }
    kept_adapter *adapter = kept_entry(path);
    const bool is_selected = adapter == &selected;
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

void pairing_window_settle(DBusConnection *connection, std::optional<bool> selected_decision) {
    lazy_clock clock;
    error_guard error;
    if (selected_decision && adapter_selected()) {
        kept_adapter &adapter = selected_entry();
        if (adapter.owed() && due_in_ms(adapter, clock.now()) == 0) {
            set_window(connection, error, adapter, *selected_decision);
        }
    }
    for (kept_adapter &other : others) {
        if (other.owed() && is_other(other.path) && due_in_ms(other, clock.now()) == 0) {
            set_window(connection, error, other, false);
        }
    }
}

int pairing_window_due_ms(std::optional<bool> selected_decision) {
    lazy_clock clock;
    long due = -1;
    auto consider = [&](const kept_adapter &adapter) {
        if (adapter.owed() && (due < 0 || due_in_ms(adapter, clock.now()) < due)) {
            due = due_in_ms(adapter, clock.now());
        }
    };
    if (selected_decision && adapter_selected()) {
        consider(selected_entry());
    }
    for (const kept_adapter &other : others) {
        if (is_other(other.path)) {
            consider(other);
        }
    }
    return static_cast<int>(due);
}
