// The benchmark's figures as Markdown tables and as data for the latency plot.
#include "bench/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace bench {

namespace {

constexpr int points_per_decade = 50;

// VALUE with DECIMALS decimals, or "-" when it is missing (negative).
std::string number(double value, int decimals) {
    if (value < 0 || std::isnan(value)) {
        return "-";
    }
    char text[64];
    (void)snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string ratio(double value, double reference) {
    return value < 0 || reference <= 0 ? "-" : number(value / reference, 2) + "x";
}

std::string signed_kib(long before, long after) {
    if (before < 0 || after < 0) {
        return "-";
    }
    char text[32];
    (void)snprintf(text, sizeof text, "%+ld", after - before);
    return text;
}

std::string kib(long value) {
    return value < 0 ? "-" : std::to_string(value);
}

std::string p50_p99(const std::vector<double> &values, int decimals) {
    if (values.empty()) {
        return "-";
    }
    return number(percentile(values, 0.50), decimals) + " / " +
           number(percentile(values, 0.99), decimals);
}

const agent_figures *find_agent(const report_input &input, const std::string &name) {
    for (const agent_figures &agent : input.agents) {
        if (agent.name == name) {
            return &agent;
        }
    }
    return nullptr;
}

void latency_table(std::ostringstream &out, const report_input &input) {
    const agent_figures &bare = input.agents.front();
    const double bare_p50 = percentile(bare.authorize_us, 0.50);
    const double bare_p99 = percentile(bare.authorize_us, 0.99);
    out << "### AuthorizeService round trip, " << input.options.calls << " calls per agent\n\n"
        << "| agent | p50 µs | p99 µs | p50 / bare | p99 / bare |\n|---|--:|--:|--:|--:|\n";
    for (const agent_figures &agent : input.agents) {
        const double p50 = percentile(agent.authorize_us, 0.50);
        const double p99 = percentile(agent.authorize_us, 0.99);
        out << "| " << agent.name << " | " << number(p50, 1) << " | " << number(p99, 1) << " | "
            << ratio(p50, bare_p50) << " | " << ratio(p99, bare_p99) << " |\n";
    }
    out << "\n";
}

// Microseconds on a CPU per wake-up: what one pass costs, the kernel's part
// of waking the process included.
double cpu_per_wakeup_us(const cpu_use &use) {
    return use.wakeups_per_second > 0 ? use.sched_percent * 1e4 / use.wakeups_per_second : -1;
}

void idle_table(std::ostringstream &out, const report_input &input) {
    const agent_figures *polling = find_agent(input, input.polling_reference);
    const double polling_cpu = polling != nullptr ? polling->idle.sched_percent : -1;
    out << "### Idle, " << number(input.options.idle_seconds, 0) << " s without a call\n\n"
        << "| agent | CPU % of a core (stat) | CPU % of a core (schedstat) | wake-ups/s "
        << "| CPU µs per wake-up | CPU / " << input.polling_reference
        << " |\n|---|--:|--:|--:|--:|--:|\n";
    for (const agent_figures &agent : input.agents) {
        out << "| " << agent.name << " | " << number(agent.idle.stat_percent, 2) << " | "
            << number(agent.idle.sched_percent, 3) << " | "
            << number(agent.idle.wakeups_per_second, 0) << " | "
            << number(cpu_per_wakeup_us(agent.idle), 1) << " | "
            << ratio(agent.idle.sched_percent, polling_cpu) << " |\n";
    }
    out << "\n";
}

void window_row(std::ostringstream &out, const agent_figures &agent, const std::string &name,
                const std::string &sets, const char *goal) {
    out << "| " << name << " | " << number(agent.idle.wakeups_per_second, 0) << " | "
        << number(agent.idle.sched_percent, 3) << " | " << number(cpu_per_wakeup_us(agent.idle), 1)
        << " | " << sets << " | " << goal << " |\n";
}

// The pairing window's three figures, each beside its baseline of this run:
// the 1 ms loop of the first releases (which also sent a Set on every pass
// while the window was open), and the window closed. A bare 20 ms loop shows
// the least any sampled input costs here.
void window_table(std::ostringstream &out, const report_input &input) {
    const agent_figures *seed = find_agent(input, input.polling_reference);
    const agent_figures *floor = find_agent(input, input.sample_floor);
    const agent_figures *closed = find_agent(input, input.window_closed);
    const agent_figures *open = find_agent(input, input.window_open);
    if (seed == nullptr || floor == nullptr || closed == nullptr || open == nullptr) {
        return;
    }
    out << "### The pairing window, over the same idle seconds\n\n"
        << "| agent | wake-ups/s | CPU % of a core (schedstat) | CPU µs per wake-up "
        << "| Set calls/s | goal |\n|---|--:|--:|--:|--:|---|\n";
    window_row(out, *seed,
               seed->name + " (the first releases' loop; a Set on every pass while open)",
               "≈ " + number(seed->idle.wakeups_per_second, 0), "baseline");
    window_row(out, *floor, floor->name + " (a bare wake-up on the sampling period)", "-",
               "the floor");
    window_row(out, *closed, closed->name, number(closed->idle_sets_per_second, 2),
               "<= 60 wake-ups/s, <= 0.1 %");
    window_row(out, *open, open->name, number(open->idle_sets_per_second, 2),
               "no Set after the first");
    const double closed_p99 = percentile(closed->authorize_us, 0.99);
    const double open_p99 = percentile(open->authorize_us, 0.99);
    out << "\nAuthorizeService p99, window open against closed: " << number(open_p99, 1) << " µs / "
        << number(closed_p99, 1) << " µs = " << ratio(open_p99, closed_p99)
        << " (goal: within 1.2x).\n\n";
}

void memory_table(std::ostringstream &out, const report_input &input) {
    out << "### Memory in KiB, at start and after " << input.options.calls << " calls\n\n"
        << "| agent | RSS at start | RSS after | private at start | private after "
        << "| private change |\n|---|--:|--:|--:|--:|--:|\n";
    for (const agent_figures &agent : input.agents) {
        out << "| " << agent.name << " | " << kib(agent.at_start.rss_kib) << " | "
            << kib(agent.after_calls.rss_kib) << " | " << kib(agent.at_start.private_kib) << " | "
            << kib(agent.after_calls.private_kib) << " | "
            << signed_kib(agent.at_start.private_kib, agent.after_calls.private_kib) << " |\n";
    }
    out << "\n";
}

void road_table(std::ostringstream &out, const report_input &input) {
    out << "### Web pairing road, " << input.options.pairings << " pairings per row, in ms "
        << "(p50 / p99)\n\n"
        << "| agent | Pair asks to confirm | request → passkey | request → outcome "
        << "| request → agent back | failed |\n|---|---|--:|--:|--:|--:|\n";
    for (const agent_figures &agent : input.agents) {
        for (const road_times &road : agent.roads) {
            out << "| " << agent.name << " | " << (road.confirmation ? "yes" : "no") << " | "
                << (road.confirmation ? p50_p99(road.passkey_ms, 2) : "-") << " | "
                << p50_p99(road.outcome_ms, 2) << " | " << p50_p99(road.end_ms, 2) << " | "
                << road.failures << " |\n";
        }
    }
    out << "\n";
}

void size_table(std::ostringstream &out, const report_input &input) {
    long long total = 0;
    out << "### Size, stripped\n\n| file | bytes | KiB |\n|---|--:|--:|\n";
    for (const file_size &file : input.sizes) {
        total += std::max(file.bytes, 0LL);
        out << "| " << file.name << " | " << file.bytes << " | "
            << number(static_cast<double>(file.bytes) / 1024, 1) << " |\n";
    }
    out << "| total | " << total << " | " << number(static_cast<double>(total) / 1024, 1)
        << " |\n\n";
}

void problems(std::ostringstream &out, const report_input &input) {
    for (const agent_figures &agent : input.agents) {
        if (!agent.problem.empty()) {
            out << "- " << agent.name << ": " << agent.problem << "\n";
        }
        if (agent.authorize_refusals > 0) {
            out << "- " << agent.name << ": refused " << agent.authorize_refusals
                << " AuthorizeService calls\n";
        }
        for (const road_times &road : agent.roads) {
            if (!road.problem.empty()) {
                out << "- " << agent.name << ", web road: " << road.problem << "\n";
            }
        }
    }
}

}  // namespace

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return -1;
    }
    const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
    const size_t index = rank == 0 ? 0 : std::min(rank, values.size()) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

std::string markdown_report(const report_input &input) {
    std::ostringstream out;
    out << input.setting << "\n\n";
    latency_table(out, input);
    idle_table(out, input);
    window_table(out, input);
    memory_table(out, input);
    road_table(out, input);
    size_table(out, input);
    problems(out, input);
    return out.str();
}

std::string latency_plot_data(const std::vector<agent_figures> &agents) {
    std::ostringstream out;
    for (const agent_figures &agent : agents) {
        if (agent.authorize_us.empty()) {
            continue;
        }
        std::vector<double> sorted = agent.authorize_us;
        std::sort(sorted.begin(), sorted.end());
        const double count = static_cast<double>(sorted.size());
        // Two blank lines end a block; after the last one they would make an empty one.
        out << (out.tellp() > 0 ? "\n\n" : "") << "\"" << agent.name << "\" \"\"\n";
        // Evenly spread on a logarithmic scale of the share of slower calls.
        const int points = static_cast<int>(std::log10(count) * points_per_decade);
        for (int point = 0; point <= points; ++point) {
            const double slower = std::pow(10, -static_cast<double>(point) / points_per_decade);
            const auto index =
                std::min(sorted.size() - 1, static_cast<size_t>(std::ceil((1 - slower) * count)));
            out << number(sorted[index], 2) << " " << slower << "\n";
        }
    }
    return out.str();
}

}  // namespace bench
