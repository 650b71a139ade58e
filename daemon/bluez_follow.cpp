// Following BlueZ through restarts and adapter changes.
#include "daemon/bluez_follow.h"

#include <syslog.h>

#include <cstring>

#include "agent/agent_message_handler.h"
#include "bluez/bluez_calls.h"
#include "bluez/bluez_owner.h"
#include "bluez/managed_objects.h"
#include "daemon/adapter_select.h"
#include "daemon/pairable_control.h"
#include "daemon/process_state.h"

namespace {

constexpr const char *bus_driver = "org.freedesktop.DBus";

void log_failure(const char *step, error_guard &error) {
    syslog(LOG_ERR, "(Following BlueZ) %s failed: %s", step, error.text());
    error.clear();
}

// Starts discovery on the adapter just selected and decides the pairing
// window afresh; an adapter that refuses is given up until the next change.
void start_on_adapter(DBusConnection *connection) {
    error_guard error;
    if (!adapter_call(connection, error, "StartDiscovery")) {
        log_failure("Enabling Discovery", error);
        forget_adapter();
        return;
    }
    pairable_control_restart();
    syslog(LOG_NOTICE, "(Following BlueZ) Bluetooth scanning has been started on %s", adapter_path);
}

// The registration belongs to BlueZ, not to an adapter: made anew for every
// new owner, and whenever an earlier try failed.
void register_agent(DBusConnection *connection, bluez_presence &presence) {
    error_guard error;
    agent_forget(connection);
    presence.agent_registered =
        agent_register(connection, error, agent_message_handler, "NoInputNoOutput", nullptr);
    if (!presence.agent_registered) {
        log_failure("Registering agent", error);
    }
}

// Selects an adapter by the start-up rule, if BlueZ exports one yet.
void select_again(DBusConnection *connection) {
    error_guard error;
    if (select_adapter(connection, error)) {
        start_on_adapter(connection);
    } else if (error) {
        log_failure("Looking for an adapter", error);
    }
}

void bluez_left(DBusConnection *connection, bluez_presence &presence) {
    syslog(LOG_WARNING, "(Following BlueZ) BlueZ has left the system bus");
    presence.present = false;
    presence.agent_registered = false;
    bluez_owner_remember(nullptr);
    forget_adapter();
    // Its agent registration died with it; only our side is left to drop.
    agent_forget(connection);
    abandon_web_pairing(*presence.request, "BlueZ has left the system bus");
}

void bluez_arrived(DBusConnection *connection, bluez_presence &presence, const char *owner) {
    presence.present = true;
    bluez_owner_remember(owner);
    select_again(connection);
    if (adapter_path[0] == '\0') {
        syslog(LOG_INFO,
               "(Following BlueZ) BlueZ is on the system bus again; waiting for an "
               "adapter");
    }
    register_agent(connection, presence);
}

void owner_changed(DBusConnection *connection, DBusMessage *message, bluez_presence &presence) {
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                               &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID) ||
        strcmp(name, bluez_service) != 0) {
        return;
    }
    if (old_owner[0] != '\0' && presence.present) {
        bluez_left(connection, presence);
    }
    if (new_owner[0] != '\0') {
        bluez_arrived(connection, presence, new_owner);
    }
}

// Whether an interface list - a{sa{sv}} of InterfacesAdded or as of
// InterfacesRemoved - names the adapter interface.
bool names_adapter(DBusMessageIter *interfaces) {
    DBusMessageIter item;
    dbus_message_iter_recurse(interfaces, &item);
    for (; dbus_message_iter_get_arg_type(&item) != DBUS_TYPE_INVALID;
         dbus_message_iter_next(&item)) {
        DBusMessageIter name = item;
        if (dbus_message_iter_get_arg_type(&item) == DBUS_TYPE_DICT_ENTRY) {
            dbus_message_iter_recurse(&item, &name);
        }
        const char *text = nullptr;
        dbus_message_iter_get_basic(&name, &text);
        if (strcmp(text, adapter_interface) == 0) {
            return true;
        }
    }
    return false;
}

// The object path of an adapter signal of the given signature, or null.
const char *adapter_signal_path(DBusMessage *message, const char *signature) {
    DBusMessageIter args;
    if (!dbus_message_has_signature(message, signature) ||
        !dbus_message_iter_init(message, &args)) {
        return nullptr;
    }
    const char *path = nullptr;
    dbus_message_iter_get_basic(&args, &path);
    dbus_message_iter_next(&args);
    return names_adapter(&args) ? path : nullptr;
}

void adapter_added(DBusConnection *connection, const char *path, bluez_presence &presence) {
    if (adapter_path[0] != '\0' || !is_adapter_path(path)) {
        return;
    }
    adopt_adapter(path);
    start_on_adapter(connection);
    if (!presence.agent_registered) {
        register_agent(connection, presence);
    }
}

void adapter_removed(DBusConnection *connection, const char *path, bluez_presence &presence) {
    if (adapter_path[0] == '\0' || strcmp(path, adapter_path) != 0) {
        return;
    }
    syslog(LOG_WARNING, "(Following BlueZ) Adapter %s has been removed", adapter_path);
    forget_adapter();
    if (web_pairing_state != web_pairing::idle) {
        abandon_web_pairing(*presence.request, "the adapter has been removed");
        // BlueZ is still there: the agent goes back to what it is between pairings.
        end_web_pairing(connection, agent_message_handler);
    }
    select_again(connection);
}

void objects_changed(DBusConnection *connection, DBusMessage *message, bluez_presence &presence) {
    if (!presence.present || !message_from_bluez(connection, message)) {
        return;
    }
    if (dbus_message_has_member(message, "InterfacesAdded")) {
        if (const char *path = adapter_signal_path(message, "oa{sa{sv}}")) {
            adapter_added(connection, path, presence);
        }
    } else if (const char *path = adapter_signal_path(message, "oas")) {
        adapter_removed(connection, path, presence);
    }
}

}  // namespace

const char *pairing_unavailable(const bluez_presence &presence) {
    if (!presence.present) {
        return "BlueZ is not on the system bus";
    }
    if (adapter_path[0] == '\0') {
        return "no adapter is present";
    }
    if (!presence.agent_registered) {
        return "the agent is not registered with BlueZ";
    }
    return nullptr;
}

DBusHandlerResult follow_bluez(DBusConnection *connection, DBusMessage *message, void *user_data) {
    auto &presence = *static_cast<bluez_presence *>(user_data);
    if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
        const char *sender = dbus_message_get_sender(message);
        // A copy any client can send straight to us carries its own name.
        if (sender != nullptr && strcmp(sender, bus_driver) == 0) {
            owner_changed(connection, message, presence);
        }
    } else if (dbus_message_is_signal(message, object_manager_interface, "InterfacesAdded") ||
               dbus_message_is_signal(message, object_manager_interface, "InterfacesRemoved")) {
        objects_changed(connection, message, presence);
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}
