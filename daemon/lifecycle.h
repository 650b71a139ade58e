// The daemon's life: start-up, the main loop and the orderly shutdown.
#pragma once

#include <csignal>

// Set by the SIGINT/SIGTERM handler of lifecycle.cpp, its one writer; the
// loop reads it once per pass, a slow step between passes looks at it, and
// every call to BlueZ made after it waits less (bluez/bluez_calls.h).
inline volatile sig_atomic_t stop_requested = 0;

// Runs the daemon until SIGINT or SIGTERM (or a fatal failure) and returns
// its exit status: 0, or 1 when a start-up, intake or shutdown step failed.
int run_daemon();
