// Running the agents side by side beside the stand-in and taking their figures.
#pragma once

#include <dbus/dbus.h>

#include <string>
#include <vector>

#include "bench/bluez_standin.h"
#include "bench/proc_figures.h"

namespace bench {

// How to start one agent and what to measure on it.
struct agent_setup {
    std::string name;
    std::vector<std::string> command;
    std::string log_path;       // its standard output and error
    std::string pipe_dir;       // pairgated's /var/tmp; empty: no web pairing road
    bool ready_on_set = false;  // ready only once it has set Pairable (pairgated's first pass)
};

struct run_options {
    unsigned calls = 100000;
    unsigned calls_per_turn = 100;  // the agents take turns, this many calls each
    double idle_seconds = 10;
    unsigned pairings = 200;
};

// The web pairing road, for one behaviour of Pair.
struct road_times {
    bool confirmation = false;
    std::vector<double> passkey_ms;  // request written -> passkey read (with a confirmation)
    std::vector<double> outcome_ms;  // ... -> outcome known: six 0x01 bytes, or the road's end
    std::vector<double> end_ms;      // ... -> agent registered again as "NoInputNoOutput"
    unsigned failures = 0;
    std::string problem;
};

struct agent_figures {
    std::string name;
    std::string problem;  // why figures are missing; empty when all went well
    std::vector<double> authorize_us;
    unsigned authorize_refusals = 0;
    cpu_use idle;
    double idle_sets_per_second = -1;  // Properties.Set calls it made while idle
    memory_use at_start;
    memory_use after_calls;
    std::vector<road_times> roads;
};

// Starts the agents one after the other, then measures them side by side:
// idle over the same seconds, and the calls in turns, so that whatever else
// loads the machine falls on every agent alike. Ends them all.
std::vector<agent_figures> run_agents(DBusConnection *connection, bluez_standin &standin,
                                      const std::vector<agent_setup> &setups,
                                      const run_options &options);

}  // namespace bench
