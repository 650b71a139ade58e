// The little state that the loop, the agent and the request intake share.
// Single-threaded by design: everything here is touched from the main thread
// only (the signal handler writes stop_requested and nothing else).
#pragma once

#include <csignal>
#include <cstdint>

// The web-requested pairing under way: the address text the web UI wrote and
// the serial of the Pair call sent for it. Its address is handed to libdbus as
// user data, so the one instance below must never move.
struct pairing_request_record {
    char address[20];  // 17 characters, a terminating zero, two zero bytes
    uint32_t pair_serial;
};
static_assert(sizeof(pairing_request_record) == 24, "the record is 24 bytes");

constexpr int adapter_path_max = 24;  // characters kept of the adapter's object path

// -1 before the first decision of the pairable control, 0 off, 1 on.
extern int pairable_state;

// 0 idle, 1 request taken and Pair sent, 2 passkey passed to the web UI.
extern int web_pairing_state;

// Object path of the selected adapter; empty until one is selected.
extern char adapter_path[adapter_path_max + 1];

// Set by the SIGINT/SIGTERM handler; the loop reads it once per pass.
extern volatile sig_atomic_t stop_requested;

extern pairing_request_record pairing_request;

// Unique bus name of the connection that owns "org.bluez", as last seen. Only
// messages from it are acted on; see agent/bluez_sender.h.
constexpr int bus_name_max = 255;
extern char bluez_owner[bus_name_max + 1];
