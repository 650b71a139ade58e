// A web-requested pairing, from the request on the pipe to the outcome.
#include "webui/web_pairing.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/device_pairings.h"
#include "bluez/device_path.h"
#include "bluez/pairing_window.h"
#include "common/log.h"
#include "common/pipe_protocol.h"
#include "common/text_copy.h"
#include "io/monotonic_clock.h"
#include "webui/reply_pipe.h"

namespace {

int pair_limit_ms = pair_answer_limit_s * 1000;
long pair_deadline_ms = 0;  // monotonic; while a pairing is under way

// Sends Pair to the device without waiting; the answer is matched by its
// reply serial when it comes through the dispatch.
bool send_pair(DBusConnection *connection, const char *device, pairing_request_record &request,
               error_guard &error) {
    message_ptr pair = bluez_method_call(device, device_interface, "Pair", error);
    if (!pair) {
        return false;
    }
    if (!dbus_connection_send(connection, pair.get(), &request.pair_serial)) {
        set_no_memory(error);
        return false;
    }
    pair_deadline_ms = monotonic_ms() + pair_limit_ms;
    return true;
}

// A BlueZ that restarted a moment ago (its NameOwnerChanged still queued)
// has no agent of ours, or no owner yet: nothing to unregister, and the
// pairing goes on with the BlueZ of now, whose answer ends it.
bool agent_gone_from_bluez(DBusConnection *connection, error_guard &error) {
    if (!dbus_error_has_name(error.get(), "org.bluez.Error.DoesNotExist") &&
        !dbus_error_has_name(error.get(), DBUS_ERROR_SERVICE_UNKNOWN) &&
        !dbus_error_has_name(error.get(), DBUS_ERROR_NAME_HAS_NO_OWNER)) {
        return false;
    }
    agent_forget(connection);
    error.clear();
    return true;
}

}  // namespace

pairing_start start_web_pairing(DBusConnection *connection, error_guard &error,
                                pairing_request_record &request,
                                DBusObjectPathMessageFunction agent_handler) {
    char device[adapter_path_max + 64];
    copy_cut(device, device_path_from_address(adapter_path(), request.address));

    web_pairing_state = web_pairing::requested;
    if (!agent_unregister(connection, error) && !agent_gone_from_bluez(connection, error)) {
        return pairing_start::agent_swap_failed;
    }
    // BlueZ asks the agent of the connection that called Pair, so ours must
    // be able to display the passkey. A failure here shows up as a failed Pair.
    error_guard shown_by_pair;
    if (agent_register(connection, shown_by_pair, agent_handler, agent_registration::display_yes_no,
                       &request)) {
        agent_request_default(connection);
    }
    // The registration opened every adapter; only this one may pair now, and
    // only with the requested device (the agent refuses any other).
    pairing_window_shut_others(connection);

    return send_pair(connection, device, request, error) ? pairing_start::started
                                                         : pairing_start::pair_not_sent;
}

namespace {

bool trust_requested_device(DBusConnection *connection, const pairing_request_record &request) {
    error_guard error;
    const char *device = device_path_from_address(adapter_path(), request.address);
    if (bluez_set_bool(connection, error, device, device_interface, "Trusted", true)) {
        log_message(LOG_INFO,
                    "Device %s has been paired and trusted on the request from the web UI",
                    request.address);
        return true;
    }
    log_message(LOG_ERR, "Setting \"Trusted\" property for devie %s to true failed: %s",
                request.address, error.text());
    return false;
}

}  // namespace

request_read read_request(int request_fd, pairing_request_record &request) {
    memset(&request, 0, sizeof request);
    const ssize_t count = read(request_fd, request.address, request_size);
    request_read read;
    read.count = count;
    if (count < 0) {
        read.error = errno;
        if (read.error != EAGAIN && read.error != EINTR) {
            read.result = request_read::outcome::read_failed;
        }
    } else if (count > 0 && count < static_cast<ssize_t>(request_size)) {
        read.result = request_read::outcome::malformed;
    } else if (count == static_cast<ssize_t>(request_size) && request.address[0] != '\0') {
        read.result = request_read::outcome::taken;
    }
    return read;
}

void show_passkey(uint32_t passkey) {
    write_reply_passkey(passkey);
}

void passkey_confirmed() {
    web_pairing_state = web_pairing::passkey_shown;
}

bool is_pair_answer(DBusMessage *message, const pairing_request_record &request) {
    const int type = dbus_message_get_type(message);
    return dbus_message_get_reply_serial(message) == request.pair_serial &&
           (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR);
}

void complete_web_pairing(DBusConnection *connection, DBusMessage *answer,
                          const pairing_request_record &request,
                          DBusObjectPathMessageFunction agent_handler) {
    if (web_pairing_state == web_pairing::idle) {
        return;
    }
    bool paired = false;
    if (dbus_message_get_type(answer) == DBUS_MESSAGE_TYPE_ERROR) {
        log_message(LOG_ERR, "Pairing with %s failed: %s", request.address,
                    pair_error_reason(answer));
    } else {
        // Paired by request: a Paired announced from now on is the same state.
        note_device_pairing(device_path_from_address(adapter_path(), request.address),
                            pairing_began::before);
        paired = trust_requested_device(connection, request);
    }
    // Once the passkey is shown the web UI learns a success from BlueZ itself,
    // so only a failure is reported then - including a device that paired but
    // could not be trusted, which BlueZ alone would show as a success.
    if (web_pairing_state == web_pairing::requested || !paired) {
        write_reply_outcome(paired);
    }
    end_web_pairing(connection, agent_handler);
}

void end_web_pairing(DBusConnection *connection, DBusObjectPathMessageFunction agent_handler) {
    error_guard error;
    if (!agent_unregister(connection, error)) {
        log_failure(LOG_ERR, "Deregistering agent failed: %s", error);
    }
    if (agent_register(connection, error, agent_handler, agent_registration::no_input_no_output,
                       nullptr)) {
        agent_request_default(connection);
    } else {
        log_failure(LOG_ERR, "Registering agent failed: %s", error);
    }
    // BlueZ made the adapters pairable for each agent it registered during the
    // pairing; the window's decision must hold again, whatever came of the swap.
    pairing_window_reapply(connection);
    web_pairing_state = web_pairing::idle;
}

void abandon_web_pairing(const pairing_request_record &request, const char *reason) {
    if (web_pairing_state == web_pairing::idle) {
        return;
    }
    log_message(LOG_ERR, "Pairing with %s failed: %s", request.address, reason);
    write_reply_outcome(false);
    web_pairing_state = web_pairing::idle;
}

void web_pairing_set_pair_limit_ms(int limit_ms) {
    pair_limit_ms = limit_ms;
}

int web_pairing_due_ms() {
    if (web_pairing_state == web_pairing::idle) {
        return -1;
    }
    const long left = pair_deadline_ms - monotonic_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

void expire_web_pairing(DBusConnection *connection, const pairing_request_record &request,
                        DBusObjectPathMessageFunction agent_handler) {
    if (web_pairing_due_ms() != 0) {
        return;
    }
    log_message(LOG_ERR, "Pairing with %s failed: Pair was not answered within %d s",
                request.address, (pair_limit_ms + 999) / 1000);
    // A BlueZ that left Pair unanswered may not answer these calls either.
    const bluez_hurry hurry;
    // BlueZ fails the Pair at once; its late answer finds no pairing under way.
    // Refused, it changes nothing: the pairing ends here all the same.
    error_guard error;
    message_ptr cancel =
        bluez_method_call(device_path_from_address(adapter_path(), request.address),
                          device_interface, "CancelPairing", error);
    if (cancel) {
        (void)bluez_call(connection, std::move(cancel), error);
    }
    write_reply_outcome(false);
    end_web_pairing(connection, agent_handler);
}

bool is_requested_device(const char *device, const pairing_request_record &request) {
    const char *requested = device_path_from_address(adapter_path(), request.address);
    return adapter_selected() && requested != nullptr && strcmp(device, requested) == 0;
}

const char *pair_error_reason(DBusMessage *error) {
    const char *name = dbus_message_get_error_name(error);
    const char *dot = name != nullptr ? strrchr(name, '.') : nullptr;
    return dot != nullptr ? dot + 1 : "unknow issue";
}
