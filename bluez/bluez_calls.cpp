// Blocking calls to BlueZ and the registration of the daemon's agent object.
#include "bluez/bluez_calls.h"

#include "agent/agent_message_handler.h"

namespace {

constexpr const char *properties_interface = "org.freedesktop.DBus.Properties";
constexpr const char *agent_manager_path = "/org/bluez";
constexpr const char *agent_manager_interface = "org.bluez.AgentManager1";

// No unregister function: the object holds nothing to release.
const DBusObjectPathVTable agent_vtable = {
    nullptr, agent_message_handler, nullptr, nullptr, nullptr, nullptr,
};

// libdbus aborts the process on an invalid object path, so every path is
// checked here first and turned into an ordinary failure.
bool check_object_path(const char *object_path, DBusError *error) {
    if (object_path == nullptr || object_path[0] == '\0') {
        dbus_set_error_const(error, DBUS_ERROR_INVALID_ARGS, "no adapter has been selected");
        return false;
    }
    error_guard reason;
    if (!dbus_validate_path(object_path, reason.get())) {
        dbus_set_error(error, DBUS_ERROR_INVALID_ARGS, "invalid object path \"%s\"", object_path);
        return false;
    }
    return true;
}

void set_no_memory(DBusError *error) {
    dbus_set_error_const(error, DBUS_ERROR_NO_MEMORY, "out of memory");
}

}  // namespace

message_ptr bluez_method_call(const char *object_path, const char *interface, const char *method,
                              DBusError *error) {
    if (!check_object_path(object_path, error)) {
        return nullptr;
    }
    message_ptr message =
        adopt_message(dbus_message_new_method_call(bluez_service, object_path, interface, method));
    if (!message) {
        set_no_memory(error);
    }
    return message;
}

bool bluez_call(DBusConnection *connection, message_ptr message, DBusError *error) {
    message_ptr reply = adopt_message(
        dbus_connection_send_with_reply_and_block(connection, message.get(), -1, error));
    // An error answer comes back as a null reply with the error record set.
    return reply != nullptr;
}

bool bluez_set_bool(DBusConnection *connection, DBusError *error, const char *object_path,
                    const char *interface, const char *property, bool value) {
    message_ptr message = bluez_method_call(object_path, properties_interface, "Set", error);
    if (!message) {
        return false;
    }
    DBusMessageIter args;
    DBusMessageIter variant;
    const dbus_bool_t flag = value ? TRUE : FALSE;
    dbus_message_iter_init_append(message.get(), &args);
    if (!dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &interface) ||
        !dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &property) ||
        !dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, DBUS_TYPE_BOOLEAN_AS_STRING,
                                          &variant)) {
        set_no_memory(error);
        return false;
    }
    if (!dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &flag) ||
        !dbus_message_iter_close_container(&args, &variant)) {
        dbus_message_iter_abandon_container(&args, &variant);
        set_no_memory(error);
        return false;
    }
    return bluez_call(connection, std::move(message), error);
}

bool agent_register(DBusConnection *connection, DBusError *error, const char *capability,
                    void *user_data) {
    // try_register names the reason (the path still registered) in the error
    // record, which the caller's log line then shows.
    if (!dbus_connection_try_register_object_path(connection, agent_object_path, &agent_vtable,
                                                  user_data, error)) {
        return false;
    }
    message_ptr message =
        bluez_method_call(agent_manager_path, agent_manager_interface, "RegisterAgent", error);
    if (!message) {
        return false;
    }
    const char *path = agent_object_path;
    if (!dbus_message_append_args(message.get(), DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_STRING,
                                  &capability, DBUS_TYPE_INVALID)) {
        set_no_memory(error);
        return false;
    }
    return bluez_call(connection, std::move(message), error);
}

bool agent_unregister(DBusConnection *connection, DBusError *error) {
    message_ptr message =
        bluez_method_call(agent_manager_path, agent_manager_interface, "UnregisterAgent", error);
    if (!message) {
        return false;
    }
    const char *path = agent_object_path;
    if (!dbus_message_append_args(message.get(), DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID)) {
        set_no_memory(error);
        return false;
    }
    if (!bluez_call(connection, std::move(message), error)) {
        return false;
    }
    return dbus_connection_unregister_object_path(connection, agent_object_path) != 0;
}
