// A pairing the web UI asked for, as one road: the request taken off the
// request pipe, the agent swapped to "DisplayYesNo", Pair sent; the passkey
// shown; BlueZ's answer to Pair; the agent swapped back. The agent's message
// handler (agent/) calls the later stops of the road; this file alone moves
// web_pairing_state.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>

#include "bluez/dbus_handles.h"

// The web-requested pairing under way: the address text the web UI wrote and
// the serial of the Pair call sent for it. The daemon owns the one record for
// the whole run and hands its address to libdbus as user data, so it must
// never move.
struct pairing_request_record {
    char address[20];  // 17 characters, a terminating zero, two zero bytes
    uint32_t pair_serial;
};
static_assert(sizeof(pairing_request_record) == 24, "the record is 24 bytes");

// What one request-intake step did. The last two end the daemon.
enum class intake_result {
    nothing,           // no request, or 17 zero bytes
    malformed,         // fewer than 17 bytes, logged and dropped
    refused,           // no pairing possible now: logged, a failure written
    pairing_started,   // Pair sent, or the request refused and answered with a failure
    read_failed,       // the pipe could not be read (logged)
    agent_swap_failed  // the agent could not be unregistered (logged)
};

inline bool intake_is_fatal(intake_result result) {
    return result == intake_result::read_failed || result == intake_result::agent_swap_failed;
}

// Reads at most one request from request_fd into request and starts its
// pairing. agent_handler is the agent object's message function, registered
// again with the record as user data. While unavailable names a reason (BlueZ
// away, no adapter), a request is refused at once with a failure on the reply
// pipe instead. The shared error record is clear on return, unless the
// result is fatal.
intake_result request_intake(DBusConnection *connection, error_guard &error, int request_fd,
                             pairing_request_record &request,
                             DBusObjectPathMessageFunction agent_handler, const char *unavailable);

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

// Puts the agent back to "NoInputNoOutput" without user data and marks no web
// pairing under way. Failures are logged; the state is idle regardless.
void end_web_pairing(DBusConnection *connection, DBusObjectPathMessageFunction agent_handler);

// Ends a pairing under way that cannot finish any more, for the reason given:
// logged, a failure written on the reply pipe, the state idle. The agent is
// left as it is (BlueZ may be gone); the caller puts it right. Nothing
// happens when no pairing is under way.
void abandon_web_pairing(const pairing_request_record &request, const char *reason);

// What a failed Pair is reported as: the error name after its last dot, or
// "unknow issue" when the name has none.
const char *pair_error_reason(DBusMessage *error);
