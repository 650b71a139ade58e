// The request-intake step of the main loop.
#include "webui/request_intake.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "agent/reply_pipe.h"
#include "agent/web_pairing_end.h"
#include "bluez/bluez_calls.h"
#include "bluez/device_path.h"
#include "webui/pipe_names.h"

namespace {

// Sends Pair to the device without waiting; the answer is matched by its
// reply serial when it comes through the dispatch.
bool send_pair(DBusConnection *connection, const char *device, pairing_request_record *request,
               DBusError *error) {
    message_ptr pair = bluez_method_call(device, device_interface, "Pair", error);
    if (!pair) {
        return false;
    }
    if (!dbus_connection_send(connection, pair.get(), &request->pair_serial)) {
        dbus_set_error_const(error, DBUS_ERROR_NO_MEMORY, "out of memory");
        return false;
    }
    return true;
}

// A request the Pair call cannot be built for (an address that makes no
// valid object path) must not leave the web UI waiting or the daemon stuck
// in a pairing: report the failure and undo the agent swap.
void refuse_request(DBusConnection *connection, const pairing_request_record *request,
                    DBusError *error) {
    syslog(LOG_ERR, "Request from web UI to pair %s refused: %s", request->address,
           error_text(error));
    dbus_error_free(error);
    write_reply_outcome(false);
    end_web_pairing(connection);
}

// Returns false when the agent could not be unregistered (fatal).
bool start_pairing(DBusConnection *connection, DBusError *error, int *exit_status,
                   pairing_request_record *request) {
    char device[adapter_path_max + 64];
    strncpy(device, device_path_from_address(request->address), sizeof device - 1);
    device[sizeof device - 1] = '\0';

    web_pairing_state = 1;
    syslog(LOG_INFO, "Request from web UI to pair %s", request->address);
    if (!agent_unregister(connection, error)) {
        syslog(LOG_ERR, "Temporary deregistering agent failed: %s", error_text(error));
        *exit_status = 1;
        return false;
    }
    // BlueZ asks the agent of the connection that called Pair, so ours must
    // be able to display the passkey. A failure here shows up as a failed Pair.
    agent_register(connection, error, "DisplayYesNo", request);
    dbus_error_free(error);

    if (!send_pair(connection, device, request, error)) {
        refuse_request(connection, request, error);
    }
    return true;
}

}  // namespace

bool request_intake(DBusConnection *connection, DBusError *error, int request_fd, int *exit_status,
                    pairing_request_record *request) {
    memset(request, 0, sizeof *request);
    const ssize_t count = read(request_fd, request->address, request_size);
    if (count < 0) {
        if (errno == EAGAIN || errno == EINTR) {
            return false;
        }
        syslog(LOG_ERR, "Reading from named pipe %s failed: %s", request_pipe_path,
               strerror(errno));
        *exit_status = 1;
        return true;
    }
    if (count > 0 && count < static_cast<ssize_t>(request_size)) {
        syslog(LOG_ERR, "Malformed request \"%s\" (%zd bytes) from cgi", request->address, count);
        return false;
    }
    if (count == static_cast<ssize_t>(request_size) && request->address[0] != '\0') {
        return !start_pairing(connection, error, exit_status, request);
    }
    return false;
}
