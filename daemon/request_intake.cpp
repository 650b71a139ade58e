// Taking a request of the web UI's off the request pipe.
#include "daemon/request_intake.h"

#include <sys/ioctl.h>

#include <cstring>

#include "agent/agent_message_handler.h"
#include "bluez/bluez_link.h"
#include "common/log.h"
#include "common/pipe_protocol.h"
#include "io/monotonic_clock.h"
#include "webui/reply_pipe.h"

namespace {

constexpr long unread_reply_limit_ms = 1000;
constexpr int unread_reply_sample_ms = 10;
long unread_reply_since_ms = -1;  // monotonic; while a request waits for the reader

bool request_waiting(int request_fd) {
    int waiting = 0;
    return ioctl(request_fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

// Whether the reply pipe is empty, or has been made so: the reader had its
// time. Nothing but the daemon writes it, so it stays empty until the request
// is taken.
bool reply_pipe_emptied() {
    if (reply_pipe_unread(false) == 0) {
        unread_reply_since_ms = -1;
        return true;
    }
    const long now = monotonic_ms();
    if (unread_reply_since_ms < 0) {
        unread_reply_since_ms = now;
    }
    if (now - unread_reply_since_ms < unread_reply_limit_ms) {
        return false;
    }
    unread_reply_since_ms = -1;
    log_message(LOG_WARNING,
                "Output FIFO (%s) held %zu bytes unread for %ld s; dropped them before the next "
                "request",
                reply_pipe_path, reply_pipe_unread(true), unread_reply_limit_ms / 1000);
    return true;
}

// A request is answered at once, never kept for later: BlueZ may not come
// back for a long time, and an address that makes no valid object path must
// not leave the web UI waiting or the daemon stuck in a pairing.
void refuse(const pairing_request_record &request, const char *reason) {
    log_message(LOG_ERR, "Request from web UI to pair %s refused: %s", request.address, reason);
    write_reply_outcome(false);
}

// Starts the pairing of a request just taken; false when the daemon ends.
bool start_pairing(DBusConnection *connection, pairing_request_record &request) {
    if (const char *reason = pairing_unavailable()) {
        refuse(request, reason);
        return true;
    }
    log_message(LOG_INFO, "Request from web UI to pair %s", request.address);
    error_guard error;
    switch (start_web_pairing(connection, error, request, agent_message_handler)) {
        case pairing_start::started:
            break;
        case pairing_start::pair_not_sent:
            refuse(request, error.text());
            error.clear();
            end_web_pairing(connection, agent_message_handler);
            break;
        case pairing_start::agent_swap_failed:
            log_failure(LOG_ERR, "Temporary deregistering agent failed: %s", error);
            write_reply_outcome(false);
            return false;
    }
    return true;
}

}  // namespace

bool take_request(DBusConnection *connection, int request_fd, pairing_request_record &request) {
    if (!request_waiting(request_fd)) {
        unread_reply_since_ms = -1;
    } else if (!reply_pipe_emptied()) {
        return true;
    }
    const request_read read = read_request(request_fd, request);
    switch (read.result) {
        case request_read::outcome::read_failed:
            log_message(LOG_ERR, "Reading from named pipe %s failed: %s", request_pipe_path,
                        strerror(read.error));
            return false;
        case request_read::outcome::malformed:
            log_message(LOG_ERR, "Malformed request \"%s\" (%ld bytes) from cgi", request.address,
                        read.count);
            return true;
        case request_read::outcome::nothing:
            return true;
        case request_read::outcome::taken:
            break;
    }
    return start_pairing(connection, request);
}

int request_intake_due_ms() {
    return unread_reply_since_ms < 0 ? -1 : unread_reply_sample_ms;
}
