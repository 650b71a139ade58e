// What the daemon does with each message BlueZ sends it.
#include "agent/agent_message_handler.h"

#include <syslog.h>

#include <cstdio>
#include <cstring>

#include "agent/bluez_sender.h"
#include "agent/reply_pipe.h"
#include "agent/trust_on_paired.h"
#include "agent/web_pairing_end.h"
#include "bluez/bluez_calls.h"
#include "bluez/device_path.h"
#include "daemon/process_state.h"
#include "webui/pipe_names.h"

namespace {

constexpr const char *agent_interface = "org.bluez.Agent1";
constexpr const char *nap_uuid = "00001116-0000-1000-8000-00805f9b34fb";

// An empty method return: the agent's "yes".
DBusHandlerResult accept_call(DBusConnection *connection, DBusMessage *call) {
    message_ptr reply = adopt_message(dbus_message_new_method_return(call));
    if (!reply) {
        return DBUS_HANDLER_RESULT_NEED_MEMORY;
    }
    dbus_connection_send(connection, reply.get(), nullptr);
    return DBUS_HANDLER_RESULT_HANDLED;
}

bool confirmation_expected() {
    return web_pairing_state > 0 || pairable_state > 0;
}

// Confirms the passkey of the requested device at once and shows it on the
// web UI; any other device's request is left to libdbus to refuse.
DBusHandlerResult handle_confirmation(DBusConnection *connection, DBusMessage *message,
                                      const pairing_request_record *request) {
    if (!confirmation_expected() || !message_from_bluez(connection, message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *device = nullptr;
    dbus_uint32_t passkey = 0;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_UINT32,
                               &passkey, DBUS_TYPE_INVALID)) {
        syslog(LOG_ERR, "Invalid arguments for RequestConfirmation message");
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *address = address_from_device_path(device);
    if (address == nullptr || request == nullptr || strcmp(address, request->address) != 0) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    char passkey_text[reply_size + 1];
    // A passkey beyond six digits is cut: the web UI shows six.
    (void)snprintf(passkey_text, sizeof passkey_text, "%06u", static_cast<unsigned>(passkey));
    write_reply_message(reply_pipe_path, reinterpret_cast<unsigned char *>(passkey_text));
    const DBusHandlerResult result = accept_call(connection, message);
    if (result == DBUS_HANDLER_RESULT_HANDLED) {
        web_pairing_state = 2;
    }
    return result;
}

// Network access over PAN is granted to anyone; other services get no answer.
DBusHandlerResult handle_authorisation(DBusConnection *connection, DBusMessage *message) {
    if (!message_from_bluez(connection, message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *device = nullptr;
    const char *uuid = nullptr;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_STRING,
                               &uuid, DBUS_TYPE_INVALID)) {
        syslog(LOG_ERR, "Invalid arguments for AuthorizeService message");
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    if (strcmp(uuid, nap_uuid) == 0) {
        return accept_call(connection, message);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

DBusHandlerResult handle_properties_changed(DBusConnection *connection, DBusMessage *message) {
    if (!message_from_bluez(connection, message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    return trust_on_paired(connection, message);
}

bool trust_requested_device(DBusConnection *connection, const pairing_request_record *request) {
    error_guard error;
    const char *device = device_path_from_address(request->address);
    if (bluez_set_bool(connection, error.get(), device, device_interface, "Trusted", true)) {
        syslog(LOG_INFO, "Device %s has been paired and trusted on the request from the web UI",
               request->address);
        return true;
    }
    syslog(LOG_ERR, "Setting \"Trusted\" property for devie %s to true failed: %s",
           request->address, error_text(error.get()));
    return false;
}

// BlueZ answered the Pair call of a web-requested pairing.
DBusHandlerResult complete_web_pairing(DBusConnection *connection, DBusMessage *answer,
                                       const pairing_request_record *request) {
    if (web_pairing_state == 0) {
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    const bool failed_answer = dbus_message_get_type(answer) == DBUS_MESSAGE_TYPE_ERROR;
    bool paired = false;
    if (failed_answer) {
        syslog(LOG_ERR, "Pairing with %s failed: %s", request->address, pair_error_reason(answer));
    } else {
        paired = trust_requested_device(connection, request);
    }
    // Once the passkey is shown the web UI learns a success from BlueZ itself,
    // so only a failure is reported then - including a device that paired but
    // could not be trusted, which BlueZ alone would show as a success.
    if (web_pairing_state == 1 || !paired) {
        write_reply_outcome(paired);
    }
    end_web_pairing(connection);
    return DBUS_HANDLER_RESULT_HANDLED;
}

bool is_pair_answer(DBusMessage *message, const pairing_request_record *request) {
    const int type = dbus_message_get_type(message);
    return dbus_message_get_reply_serial(message) == request->pair_serial &&
           (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR);
}

}  // namespace

const char *pair_error_reason(DBusMessage *error) {
    const char *name = dbus_message_get_error_name(error);
    const char *dot = name != nullptr ? strrchr(name, '.') : nullptr;
    return dot != nullptr ? dot + 1 : "unknow issue";
}

DBusHandlerResult agent_message_handler(DBusConnection *connection, DBusMessage *message,
                                        void *user_data) {
    auto *request = static_cast<pairing_request_record *>(user_data);
    if (dbus_message_is_method_call(message, agent_interface, "RequestConfirmation")) {
        return handle_confirmation(connection, message, request);
    }
    if (dbus_message_is_method_call(message, agent_interface, "AuthorizeService")) {
        return handle_authorisation(connection, message);
    }
    if (dbus_message_is_signal(message, DBUS_INTERFACE_PROPERTIES, "PropertiesChanged")) {
        return handle_properties_changed(connection, message);
    }
    if (request != nullptr && is_pair_answer(message, request)) {
        return complete_web_pairing(connection, message, request);
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}
