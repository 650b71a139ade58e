// Blocking calls to BlueZ and the registration of the daemon's agent object.
#include "bluez/bluez_calls.h"

#include <utility>

#include "common/log.h"

namespace {

// Kept here rather than asked of libdbus: it warns on stderr when a path that
// is not registered is unregistered, and its look-up cannot tell a
// registration without user data from none.
agent_registration registration = agent_registration::none;

const char *capability_text(agent_registration capability) {
    return capability == agent_registration::display_yes_no ? "DisplayYesNo" : "NoInputNoOutput";
}

bool (*stop_check)() = nullptr;
int hurries = 0;  // bluez_hurry objects alive

// libdbus aborts the process on an invalid object path, so every path is
// checked here first and turned into an ordinary failure.
bool check_object_path(const char *object_path, error_guard &error) {
    if (object_path == nullptr || object_path[0] == '\0') {
        dbus_set_error_const(error.get(), DBUS_ERROR_INVALID_ARGS, "no adapter has been selected");
        return false;
    }
    error_guard reason;
    if (!dbus_validate_path(object_path, reason.get())) {
        dbus_set_error(error.get(), DBUS_ERROR_INVALID_ARGS, "invalid object path \"%s\"",
                       object_path);
        return false;
    }
    return true;
}

// Appends (s interface, s property, v boolean value).
bool append_bool_property(DBusMessage *message, const char *interface, const char *property,
                          bool value) {
    DBusMessageIter args;
    DBusMessageIter variant;
    const dbus_bool_t flag = value ? TRUE : FALSE;
    dbus_message_iter_init_append(message, &args);
    if (!dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &interface) ||
        !dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &property) ||
        !dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, DBUS_TYPE_BOOLEAN_AS_STRING,
                                          &variant)) {
        return false;
    }
    if (!dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &flag) ||
        !dbus_message_iter_close_container(&args, &variant)) {
        dbus_message_iter_abandon_container(&args, &variant);
        return false;
    }
    return true;
}

// A call to BlueZ's object with a path and, when given, a text as its arguments.
message_ptr call_with_path(const char *object, const char *interface, const char *method,
                           const char *path, const char *text, error_guard &error) {
    message_ptr message = bluez_method_call(object, interface, method, error);
    if (!message) {
        return nullptr;
    }
    const bool appended =
        text != nullptr ? dbus_message_append_args(message.get(), DBUS_TYPE_OBJECT_PATH, &path,
                                                   DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)
                        : dbus_message_append_args(message.get(), DBUS_TYPE_OBJECT_PATH, &path,
                                                   DBUS_TYPE_INVALID);
    if (!appended) {
        set_no_memory(error);
        return nullptr;
    }
    return message;
}

// A call to the agent manager with the agent's path and, when given, a capability.
message_ptr agent_manager_call(const char *method, const char *capability, error_guard &error) {
    return call_with_path(agent_manager_path, agent_manager_interface, method, agent_object_path,
                          capability, error);
}

}  // namespace

message_ptr bluez_method_call(const char *object_path, const char *interface, const char *method,
                              error_guard &error) {
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

void bluez_set_stop_check(bool (*stopping)()) {
    stop_check = stopping;
}

bluez_hurry::bluez_hurry() {
    ++hurries;
}

bluez_hurry::~bluez_hurry() {
    --hurries;
}

int bluez_timeout_ms() {
    const bool hurried = hurries > 0 || (stop_check != nullptr && stop_check());
    return hurried ? bluez_short_call_timeout_ms : bluez_call_timeout_ms;
}

bool bluez_call(DBusConnection *connection, message_ptr message, error_guard &error) {
    message_ptr reply = adopt_message(dbus_connection_send_with_reply_and_block(
        connection, message.get(), bluez_timeout_ms(), error.get()));
    // An error answer comes back as a null reply with the error record set.
    return reply != nullptr;
}

bool bluez_set_bool(DBusConnection *connection, error_guard &error, const char *object_path,
                    const char *interface, const char *property, bool value) {
    message_ptr message = bluez_method_call(object_path, DBUS_INTERFACE_PROPERTIES, "Set", error);
    if (!message) {
        return false;
    }
    if (!append_bool_property(message.get(), interface, property, value)) {
        set_no_memory(error);
        return false;
    }
    return bluez_call(connection, std::move(message), error);
}

bool bluez_remove_device(DBusConnection *connection, error_guard &error, const char *adapter,
                         const char *device) {
    message_ptr message =
        call_with_path(adapter, adapter_interface, "RemoveDevice", device, nullptr, error);
    return message && bluez_call(connection, std::move(message), error);
}

agent_registration agent_registered_as() {
    return registration;
}

bool agent_register(DBusConnection *connection, error_guard &error,
                    DBusObjectPathMessageFunction handler, agent_registration capability,
                    void *user_data) {
    // No unregister function: the object holds nothing to release. libdbus
    // copies the table, so it may live on the stack.
    const DBusObjectPathVTable table = {nullptr, handler, nullptr, nullptr, nullptr, nullptr};
    // try_register names the reason (the path still registered) in the error
    // record, which the caller's log line then shows.
    if (!dbus_connection_try_register_object_path(connection, agent_object_path, &table, user_data,
                                                  error.get())) {
        return false;
    }
    registration = capability;
    message_ptr message = agent_manager_call("RegisterAgent", capability_text(capability), error);
    return message && bluez_call(connection, std::move(message), error);
}

void agent_request_default(DBusConnection *connection) {
    error_guard error;
    message_ptr message = agent_manager_call("RequestDefaultAgent", nullptr, error);
    if (!message || !bluez_call(connection, std::move(message), error)) {
        log_failure(LOG_ERR, "Requesting default agent failed: %s", error);
    }
}

bool agent_unregister(DBusConnection *connection, error_guard &error) {
    message_ptr message = agent_manager_call("UnregisterAgent", nullptr, error);
    if (!message || !bluez_call(connection, std::move(message), error)) {
        return false;
    }
    agent_forget(connection);
    return true;
}

void agent_forget(DBusConnection *connection) {
    if (registration != agent_registration::none) {
        (void)dbus_connection_unregister_object_path(connection, agent_object_path);
        registration = agent_registration::none;
    }
}
