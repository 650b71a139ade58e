// The little state that the loop, the agent and the web pairing share.
// Single-threaded by design: everything here is touched from the main thread
// only (the signal handler writes stop_requested and nothing else). Each
// variable has one file that writes it; every other file only reads it.
#pragma once

#include <csignal>

#include "bluez/device_path.h"

// The pairing window of the binary input. Written by daemon/pairable_control.cpp.
enum class pairable : int {
    undecided = -1,  // before the loop's first decision
    closed = 0,
    open = 1,
};
inline pairable pairable_state = pairable::undecided;

// The web-requested pairing. Written by webui/web_pairing.cpp.
enum class web_pairing : int {
    idle = 0,
    requested = 1,      // request taken, Pair sent
    passkey_shown = 2,  // passkey passed to the web UI
};
inline web_pairing web_pairing_state = web_pairing::idle;

// Object path of the selected adapter; empty while none is selected. Written
// by daemon/adapter_select.cpp.
inline char adapter_path[adapter_path_max + 1] = "";

// Set by the SIGINT/SIGTERM handler of daemon/lifecycle.cpp; the loop reads
// it once per pass.
inline volatile sig_atomic_t stop_requested = 0;
