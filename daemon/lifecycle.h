// The daemon's life: start-up, the main loop and the orderly shutdown.
#pragma once

// Runs the daemon until SIGINT or SIGTERM (or a fatal failure) and returns
// its exit status: 0, or 1 when a start-up, intake or shutdown step failed.
int run_daemon();
