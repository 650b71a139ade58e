// Following BlueZ through restarts and adapter changes.
#include "daemon/bluez_follow.h"

#include <cstring>

#include "agent/agent_message_handler.h"
#include "agent/paired_device_judge.h"
#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/device_pairings.h"
#include "bluez/pairing_window.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "webui/web_pairing.h"

namespace {

constexpr const char *bus_driver = "org.freedesktop.DBus";
// What bluetoothd answers a client that already has what it asks for: its
// one agent registered, its discovery started. Our calls made on an earlier
// owner's behalf may have got there first (see follow_arrival): the discovery
// counts as started, the agent is made again (see register_agent).
constexpr const char *already_exists = "org.bluez.Error.AlreadyExists";
constexpr const char *in_progress = "org.bluez.Error.InProgress";
// bluetoothd 5.82 may export an adapter after a restart before it has powered
// it, and answers StartDiscovery so until then.
constexpr const char *not_ready = "org.bluez.Error.NotReady";

// The selected adapter answered NotReady: discovery starts once BlueZ
// reports it powered.
bool discovery_awaits_power = false;

// Starts discovery on the selected adapter. One that refuses is given up
// until the next change (false); one not powered yet is kept until it is.
bool start_discovery_on_adapter(DBusConnection *connection) {
    error_guard error;
    if (adapter_call(connection, error, "StartDiscovery") ||
        dbus_error_has_name(error.get(), in_progress)) {
        discovery_awaits_power = false;
        log_message(LOG_NOTICE, "(Following BlueZ) Bluetooth scanning has been started on %s",
                    adapter_path());
        return true;
    }
    discovery_awaits_power = dbus_error_has_name(error.get(), not_ready);
    if (discovery_awaits_power) {
        log_message(LOG_INFO,
                    "(Following BlueZ) Adapter %s is not powered yet; scanning starts when it is",
                    adapter_path());
        return true;
    }
    log_failure(LOG_ERR, "(Following BlueZ) Enabling Discovery failed: %s", error);
    forget_adapter();
    return false;
}

// Starts on the adapter just selected: discovery, and the pairing window
// decided afresh.
void start_on_adapter(DBusConnection *connection) {
    if (start_discovery_on_adapter(connection)) {
        pairing_window_restart();
    }
}

// BlueZ's word on an adapter's properties, the one reader of it: the
// window's two properties, and the power that a discovery refused as not
// ready and the window's last Set may have waited for.
void adapter_changed(DBusConnection *connection, DBusMessage *message) {
    DBusMessageIter changed;
    if (!properties_changed_of(message, adapter_interface, &changed) || !sent_by_bluez(message)) {
        return;
    }
    const char *path = dbus_message_get_path(message);
    const bool idle = web_pairing_state == web_pairing::idle;
    bool powered = false;
    visit_entries(&changed, [&](const char *name, DBusMessageIter *value) {
        bool flag = false;
        if (!variant_bool(value, &flag)) {
            return false;
        }
        if (strcmp(name, "Powered") == 0) {
            powered = flag;
        } else if (strcmp(name, "Pairable") == 0 || strcmp(name, "Discoverable") == 0) {
            pairing_window_reported(path, name[0] == 'D', flag, idle);
        }
        return false;
    });
    if (powered && discovery_awaits_power && adapter_selected() &&
        strcmp(path, adapter_path()) == 0) {
        start_discovery_on_adapter(connection);
    }
    if (powered) {
        pairing_window_powered(path);
    }
}

// The registration belongs to BlueZ, not to an adapter: made anew for every
// new owner, and whenever an earlier try failed. BlueZ makes its adapters
// pairable for it: the other adapters are shut again at once; the selected
// one needs no re-applying here, since every call comes after its window was
// made undecided (start_on_adapter) or with no adapter selected, and the next
// pass decides it afresh.
void register_agent(DBusConnection *connection) {
    error_guard error;
    agent_forget(connection);
    bool registered = agent_register(connection, error, agent_message_handler,
                                     agent_registration::no_input_no_output, nullptr);
    if (!registered && dbus_error_has_name(error.get(), already_exists)) {
        // BlueZ holds our agent already, perhaps as "DisplayYesNo" for a
        // pairing that raced with the restart: made again, it is ours as it
        // should be between pairings.
        error.clear();
        registered = agent_unregister(connection, error) &&
                     agent_register(connection, error, agent_message_handler,
                                    agent_registration::no_input_no_output, nullptr);
    }
    if (!registered) {
        // BlueZ did not take it: an adapter that appears registers it again.
        agent_forget(connection);
        log_failure(LOG_ERR, "(Following BlueZ) Registering agent failed: %s", error);
        return;
    }
    agent_request_default(connection);
    pairing_window_shut_others(connection);
}

// Whether "org.bluez" has lost its owner. A stopping bluetoothd removes its
// adapters after it has stopped answering calls, and leaves the bus only then:
// a look-up in between fails for that alone, which the bus's
// NameOwnerChanged, already on its way, tells as BlueZ leaving.
bool bluez_name_unowned(DBusConnection *connection) {
    error_guard error;
    return !dbus_bus_name_has_owner(connection, bluez_service, error.get()) && !error;
}

// Selects an adapter by the start-up rule, if BlueZ exports one yet.
void select_again(DBusConnection *connection) {
    error_guard error;
    object_paths others;
    const bool selected = select_adapter(connection, error, others);
    if (!error) {
        // BlueZ answered: its list replaces what was known.
        pairing_window_adapters_listed(others);
    }
    if (selected) {
        start_on_adapter(connection);
    } else if (error && !bluez_name_unowned(connection)) {
        log_failure(LOG_ERR, "(Following BlueZ) Looking for an adapter failed: %s", error);
    }
}

void follow_departure(DBusConnection *connection, const pairing_request_record &request) {
    log_message(LOG_WARNING, "(Following BlueZ) BlueZ has left the system bus");
    note_bluez_away();
    pairing_window_adapters_gone();
    // Its agent registration died with it; only our side is left to drop.
    agent_forget(connection);
    abandon_web_pairing(request, "BlueZ has left the system bus");
}

void follow_arrival(DBusConnection *connection, const char *owner) {
    note_bluez_owner(owner);
    // A bluetoothd in a crash loop may be gone again already. Our calls go to
    // "org.bluez", which would make them the newest owner's, on its behalf,
    // before its own NameOwnerChanged (still queued) is handled: that one
    // decides instead.
    if (!bluez_owner_is(connection, owner)) {
        return;
    }
    select_again(connection);
    if (!adapter_selected()) {
        log_message(LOG_INFO,
                    "(Following BlueZ) BlueZ is on the system bus again; waiting for an "
                    "adapter");
    }
    register_agent(connection);
}

void owner_changed(DBusConnection *connection, DBusMessage *message,
                   const pairing_request_record &request) {
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                               &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID) ||
        strcmp(name, bluez_service) != 0) {
        return;
    }
    if (old_owner[0] != '\0' && bluez_present()) {
        follow_departure(connection, request);
    }
    if (new_owner[0] != '\0') {
        follow_arrival(connection, new_owner);
    }
}

bool is_adapter_interface(const char *name) {
    return strcmp(name, adapter_interface) == 0;
}

// The object path of an adapter signal of the given signature, or null.
// InterfacesAdded lists the interfaces as a dictionary a{sa{sv}},
// InterfacesRemoved as their names (as).
const char *adapter_signal_path(DBusMessage *message, bool added) {
    DBusMessageIter args;
    if (!dbus_message_has_signature(message, added ? "oa{sa{sv}}" : "oas") ||
        !dbus_message_iter_init(message, &args)) {
        return nullptr;
    }
    const char *path = nullptr;
    dbus_message_iter_get_basic(&args, &path);
    dbus_message_iter_next(&args);
    const bool names_adapter =
        added ? visit_entries(&args,
                              [](const char *name, DBusMessageIter * /*properties*/) {
                                  return is_adapter_interface(name);
                              })
              : visit_strings(&args, is_adapter_interface);
    return names_adapter ? path : nullptr;
}

void adapter_added(DBusConnection *connection, const char *path) {
    if (!is_adapter_path(path)) {
        return;
    }
    if (adapter_selected()) {
        // Kept shut from the moment it appears, by the next pass.
        pairing_window_adapter_added(path);
        return;
    }
    adopt_adapter(path);
    start_on_adapter(connection);
    if (agent_registered_as() == agent_registration::none) {
        register_agent(connection);
    }
}

void adapter_removed(DBusConnection *connection, const char *path,
                     const pairing_request_record &request) {
    if (!adapter_selected() || strcmp(path, adapter_path()) != 0) {
        pairing_window_adapter_removed(path);
        return;
    }
    log_message(LOG_WARNING, "(Following BlueZ) Adapter %s has been removed", adapter_path());
    forget_adapter();
    if (web_pairing_state != web_pairing::idle) {
        abandon_web_pairing(request, "the adapter has been removed");
        // BlueZ is still there: the agent goes back to what it is between pairings.
        end_web_pairing(connection, agent_message_handler);
    }
    select_again(connection);
}

void objects_changed(DBusConnection *connection, DBusMessage *message,
                     const pairing_request_record &request) {
    if (!sent_by_bluez(message)) {
        return;
    }
    const bool added = dbus_message_has_member(message, "InterfacesAdded");
    if (added) {
        judge_added_device(connection, message, &request);
    } else {
        device_pairings_removed(message);
    }
    const char *path = adapter_signal_path(message, added);
    if (path == nullptr) {
        return;
    }
    if (added) {
        adapter_added(connection, path);
    } else {
        adapter_removed(connection, path, request);
    }
}

}  // namespace

DBusHandlerResult follow_bluez(DBusConnection *connection, DBusMessage *message, void *user_data) {
    const auto &request = *static_cast<const pairing_request_record *>(user_data);
    if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
        const char *sender = dbus_message_get_sender(message);
        // A copy any client can send straight to us carries its own name.
        if (sender != nullptr && strcmp(sender, bus_driver) == 0) {
            owner_changed(connection, message, request);
        }
    } else if (dbus_message_is_signal(message, object_manager_interface, "InterfacesAdded") ||
               dbus_message_is_signal(message, object_manager_interface, "InterfacesRemoved")) {
        objects_changed(connection, message, request);
    } else if (dbus_message_is_signal(message, DBUS_INTERFACE_PROPERTIES, "PropertiesChanged")) {
        adapter_changed(connection, message);
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}
