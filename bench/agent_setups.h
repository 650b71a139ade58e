// The agents the benchmark compares, and the sandbox roots pairgated runs in.
#pragma once

#include <string>
#include <vector>

#include "bench/agent_run.h"

namespace bench {

struct bench_paths {
    std::string bare_agent;
    std::string daemon;
    std::string sandbox;       // sim/sandbox
    std::string gpio_preload;  // libfake_gpio.so
    std::string fake_io;       // sim/fake-io
    std::string work;          // scratch space for the sandbox roots
    std::string out;           // results and the agents' logs
};

// The agent a polling design's idle cost is compared with.
extern const char *const polling_reference_agent;
// A bare agent woken on the input's sampling period: the least a sampled
// input can cost on this machine, whatever the daemon does when it wakes.
extern const char *const sample_floor_agent;
// pairgated with its input selected and reading inactive, and reading active.
extern const char *const window_closed_agent;
extern const char *const window_open_agent;

// The agents in the order of the report, the reference (the bare agent) first;
// false with PROBLEM set when a sandbox root cannot be laid out.
bool make_setups(const bench_paths &paths, std::vector<agent_setup> *setups, std::string *problem);

}  // namespace bench
