// A pairing the web UI asked for, as one road: the request read off the
// request pipe; the agent swapped to "DisplayYesNo" and Pair sent; the
// passkey shown; BlueZ's answer to Pair; the agent swapped back. The loop
// calls the first two stops, the agent's message handler (agent/) the later
// ones; this file alone moves web_pairing_state.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>

#include "common/dbus_handles.h"
#include "common/errors.h"

// Whether a web-requested pairing is under way, and how far it got. This
// file's .cpp is its one writer; the agent and the loop read it.
enum class web_pairing : int {
    idle = 0,
    requested = 1,      // request taken, Pair sent
    passkey_shown = 2,  // passkey passed to the web UI
};
inline web_pairing web_pairing_state = web_pairing::idle;

// The web-requested pairing under way: the address text the web UI wrote and
// the serial of the Pair call sent for it. The daemon owns the one record for
// the whole run and hands its address to libdbus as user data, so it must
// never move.
struct pairing_request_record {
    char address[20];  // 17 characters, a terminating zero, two zero bytes
    uint32_t pair_serial;
};
static_assert(sizeof(pairing_request_record) == 24, "the record is 24 bytes");

// What one read of the request pipe gave.
struct request_read {
    enum class outcome {
        nothing,      // no request waiting, no writer, or 17 zero bytes
        malformed,    // fewer than 17 bytes (count), to be dropped
        taken,        // a request of 17 bytes is in the record
        read_failed,  // the pipe could not be read (error)
    };
    outcome result = outcome::nothing;
    long count = 0;  // bytes read
    int error = 0;   // errno of a failed read
};

// Reads at most one request of 17 bytes from request_fd into request, which
// is zeroed first.
request_read read_request(int request_fd, pairing_request_record &request);

// What starting the pairing of a request did.
enum class pairing_start {
    started,            // agent swapped to "DisplayYesNo", Pair sent
    pair_not_sent,      // the Pair call could not be built or sent (reason in
                        // error); the agent is still "DisplayYesNo"
    agent_swap_failed,  // the agent could not be unregistered (reason in error)
};

// Starts the pairing of the request just read, which the caller has found
// possible (pairing_unavailable). agent_handler is the agent object's message
// function, registered again with the record as user data. Logs only what
// its steps that end nothing log: the default request, the other adapters' Sets.
pairing_start start_web_pairing(DBusConnection *connection, error_guard &error,
                                pairing_request_record &request,
                                DBusObjectPathMessageFunction agent_handler);

// How long BlueZ has to answer Pair. A page of a device out of range times
// out after about 5 s on a real radio; the person comparing the passkey
// takes longer, and pairgate-pair waits 60 s by default before it cancels the
// pairing itself. The daemon's own limit lies above that, for a client that
// went away without cancelling, or a BlueZ that never answers.
inline constexpr int pair_answer_limit_s = 75;

// Changes the limit (milliseconds) for the pairings that start from now on;
// for tests.
void web_pairing_set_pair_limit_ms(int limit_ms);

// Milliseconds until the pairing under way reaches its limit (0: reached),
// or -1 when none is under way.
int web_pairing_due_ms();

// Ends a pairing whose Pair has not been answered within its limit: the
// pairing is cancelled with BlueZ, a failure goes to the web UI, and the agent
// and the window are put back as at its end, each call waiting at most
// bluez_short_call_timeout_ms. Nothing happens before then.
void expire_web_pairing(DBusConnection *connection, const pairing_request_record &request,
                        DBusObjectPathMessageFunction agent_handler);

// Whether device (an object path) is the device of the pairing under way,
// under the adapter the daemon works on.
bool is_requested_device(const char *device, const pairing_request_record &request);

// BlueZ asked to confirm the requested device's passkey: shows it on the web UI.
void show_passkey(uint32_t passkey);

// The passkey has been confirmed to BlueZ.
void passkey_confirmed();

// Whether message is BlueZ's answer to the Pair call of request.
bool is_pair_answer(DBusMessage *message, const pairing_request_record &request);

// BlueZ answered Pair: trusts the device on success, reports the outcome on
// the reply pipe and ends the pairing. Nothing happens once it has ended.
void complete_web_pairing(DBusConnection *connection, DBusMessage *answer,
                          const pairing_request_record &request,
                          DBusObjectPathMessageFunction agent_handler);

// Puts the agent back to "NoInputNoOutput" without user data, applies the
// pairing window to the adapter again and marks no web pairing under way.
// Failures are logged; the state is idle regardless.
void end_web_pairing(DBusConnection *connection, DBusObjectPathMessageFunction agent_handler);

// Ends a pairing under way that cannot finish any more, for the reason given:
// logged, a failure written on the reply pipe, the state idle. The agent is
// left as it is (BlueZ may be gone); the caller puts it right. Nothing
// happens when no pairing is under way.
void abandon_web_pairing(const pairing_request_record &request, const char *reason);

// What a failed Pair is reported as: the error name after its last dot, or
// "unknow issue" when the name has none.
const char *pair_error_reason(DBusMessage *error);
