// The benchmark's figures as Markdown tables and as data for the latency plot.
#pragma once

#include <string>
#include <vector>

#include "bench/agent_run.h"

namespace bench {

struct file_size {
    std::string name;
    long long bytes = -1;
};

struct report_input {
    std::string setting;  // machine and build, one paragraph
    run_options options;
    std::vector<agent_figures> agents;  // the first is the reference: the bare agent
    std::string polling_reference;      // the agent whose idle cost a polling design is held to
    std::string sample_floor;           // a bare agent woken on the sampling period
    std::string window_closed;          // pairgated with its input reading inactive
    std::string window_open;            // ... and reading active
    std::vector<file_size> sizes;
};

std::string markdown_report(const report_input &input);

// One block per agent (gnuplot's "index"), headed by its name: the latency in
// microseconds against the share of calls that took longer.
std::string latency_plot_data(const std::vector<agent_figures> &agents);

// The P-quantile (0 < P <= 1, nearest rank) of VALUES; -1 when empty.
double percentile(std::vector<double> values, double p);

}  // namespace bench
