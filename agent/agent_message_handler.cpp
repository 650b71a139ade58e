// What the daemon does with each message BlueZ sends it.
#include "agent/agent_message_handler.h"

#include <cstring>
#include <utility>

#include "agent/paired_device_judge.h"
#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/device_path.h"
#include "bluez/pairing_window.h"
#include "common/bluez_names.h"
#include "common/log.h"
#include "common/managed_objects.h"
#include "webui/web_pairing.h"

namespace {

// The network access point profile, and BNEP, the protocol beneath it: bluetoothd's
// network server asks for the latter when a device connects to NAP.
constexpr const char *nap_uuid = "00001116-0000-1000-8000-00805f9b34fb";
constexpr const char *bnep_uuid = "0000000f-0000-1000-8000-00805f9b34fb";

// Sends an answer to an agent call; need memory when it could not be built.
DBusHandlerResult send_answer(DBusConnection *connection, message_ptr answer) {
    if (!answer) {
        return DBUS_HANDLER_RESULT_NEED_MEMORY;
    }
    dbus_connection_send(connection, answer.get(), nullptr);
    return DBUS_HANDLER_RESULT_HANDLED;
}

// An empty method return: the agent's "yes".
DBusHandlerResult accept_call(DBusConnection *connection, DBusMessage *call) {
    return send_answer(connection, adopt_message(dbus_message_new_method_return(call)));
}

// The agent's "no". Said at once: a refusal left unanswered would hold one of
// BlueZ's pending-reply slots on the bus until it timed out, and enough of
// them would starve every later agent call.
DBusHandlerResult reject_call(DBusConnection *connection, DBusMessage *call, const char *why) {
    return send_answer(
        connection, adopt_message(dbus_message_new_error(call, "org.bluez.Error.Rejected", why)));
}

// The pairing calls of Agent1 besides RequestConfirmation; each names the
// device first.
constexpr const char *other_pairing_calls[] = {
    "RequestAuthorization", "RequestPinCode", "RequestPasskey", "DisplayPasskey", "DisplayPinCode"};

bool is_other_pairing_call(DBusMessage *message) {
    for (const char *member : other_pairing_calls) {
        if (dbus_message_is_method_call(message, agent_interface, member)) {
            return true;
        }
    }
    return false;
}

// While a web pairing runs every adapter BlueZ made pairable for it: a device
// other than the requested one is a stranger, and is refused outright.
bool is_stranger(const char *device, const pairing_request_record *request) {
    return web_pairing_state != web_pairing::idle && request != nullptr &&
           !is_requested_device(device, *request);
}

DBusHandlerResult refuse_stranger(DBusConnection *connection, DBusMessage *message) {
    return reject_call(connection, message, "Another device is being paired");
}

bool confirmation_expected() {
    return web_pairing_state != web_pairing::idle || pairing_window_state() == pairable::open;
}

// Confirms the passkey of the requested device at once and shows it on the
// web UI; any other device's request is left to libdbus to refuse.
DBusHandlerResult handle_confirmation(DBusConnection *connection, DBusMessage *message,
                                      const pairing_request_record *request) {
    if (!confirmation_expected() || !sent_by_bluez(message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *device = nullptr;
    dbus_uint32_t passkey = 0;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_UINT32,
                               &passkey, DBUS_TYPE_INVALID)) {
        log_message(LOG_ERR, "Invalid arguments for RequestConfirmation message");
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    if (is_stranger(device, request)) {
        return refuse_stranger(connection, message);
    }
    const char *address = address_from_device_path(device);
    if (address == nullptr || request == nullptr || strcmp(address, request->address) != 0) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    show_passkey(passkey);
    const DBusHandlerResult result = accept_call(connection, message);
    if (result == DBUS_HANDLER_RESULT_HANDLED) {
        passkey_confirmed();
    }
    return result;
}

// Network access over PAN is granted to anyone; every other service is
// refused at once.
DBusHandlerResult handle_authorisation(DBusConnection *connection, DBusMessage *message) {
    if (!sent_by_bluez(message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const char *device = nullptr;
    const char *uuid = nullptr;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_OBJECT_PATH, &device, DBUS_TYPE_STRING,
                               &uuid, DBUS_TYPE_INVALID)) {
        log_message(LOG_ERR, "Invalid arguments for AuthorizeService message");
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    if (strcmp(uuid, nap_uuid) == 0 || strcmp(uuid, bnep_uuid) == 0) {
        return accept_call(connection, message);
    }
    return reject_call(connection, message, "Service not authorized");
}

// Only a stranger during a web pairing is answered; otherwise these calls are
// left to libdbus to refuse, as ever.
DBusHandlerResult handle_other_pairing_call(DBusConnection *connection, DBusMessage *message,
                                            const pairing_request_record *request) {
    DBusMessageIter args;
    const char *device = nullptr;
    if (!dbus_message_iter_init(message, &args) ||
        dbus_message_iter_get_arg_type(&args) != DBUS_TYPE_OBJECT_PATH) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    dbus_message_iter_get_basic(&args, &device);
    if (!is_stranger(device, request) || !sent_by_bluez(message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    return refuse_stranger(connection, message);
}

// BlueZ drops the agent (it does so when it shuts down): the registration is
// gone, and the next one must start afresh, as after BlueZ has left. Release
// has no arguments; one with arguments is not BlueZ's, and is left to libdbus.
DBusHandlerResult handle_release(DBusConnection *connection, DBusMessage *message) {
    if (!dbus_message_has_signature(message, "") || !sent_by_bluez(message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    agent_forget(connection);
    return accept_call(connection, message);
}

// A request of BlueZ's was cancelled. Nothing waits on one here: a web pairing
// still ends through Pair's error answer.
DBusHandlerResult handle_cancel(DBusConnection *connection, DBusMessage *message) {
    if (!sent_by_bluez(message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    return accept_call(connection, message);
}

// A device's properties; an adapter's are the following of BlueZ's.
DBusHandlerResult handle_properties_changed(DBusConnection *connection, DBusMessage *message,
                                            const pairing_request_record *request) {
    DBusMessageIter changed;
    if (!properties_changed_of(message, device_interface, &changed) || !sent_by_bluez(message)) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    return judge_paired_device(connection, dbus_message_get_path(message), &changed, request);
}

}  // namespace

DBusHandlerResult agent_message_handler(DBusConnection *connection, DBusMessage *message,
                                        void *user_data) {
    const auto *request = static_cast<const pairing_request_record *>(user_data);
    if (dbus_message_is_method_call(message, agent_interface, "RequestConfirmation")) {
        return handle_confirmation(connection, message, request);
    }
    if (dbus_message_is_method_call(message, agent_interface, "AuthorizeService")) {
        return handle_authorisation(connection, message);
    }
    if (is_other_pairing_call(message)) {
        return handle_other_pairing_call(connection, message, request);
    }
    if (dbus_message_is_method_call(message, agent_interface, "Release")) {
        return handle_release(connection, message);
    }
    if (dbus_message_is_method_call(message, agent_interface, "Cancel")) {
        return handle_cancel(connection, message);
    }
    if (dbus_message_is_signal(message, DBUS_INTERFACE_PROPERTIES, "PropertiesChanged")) {
        return handle_properties_changed(connection, message, request);
    }
    // Any local client may send replies; only BlueZ's own answer counts.
    if (request != nullptr && is_pair_answer(message, *request) && sent_by_bluez(message)) {
        complete_web_pairing(connection, message, *request, agent_message_handler);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}
