// What /proc tells about one process: CPU time, scheduling and memory.
#include "bench/proc_figures.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace bench {

namespace {

std::string proc_file(pid_t pid, const char *name) {
    return "/proc/" + std::to_string(pid) + "/" + name;
}

// Fields 14 and 15 (utime, stime) of /proc/PID/stat; the command name in
// parentheses may hold spaces, so counting starts after its ')'.
bool read_stat_seconds(pid_t pid, double *seconds) {
    std::ifstream stat(proc_file(pid, "stat"));
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) {
        return false;
    }
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    if (values.size() < 13) {
        return false;
    }
    const double ticks = static_cast<double>(std::stoull(values[11]) + std::stoull(values[12]));
    *seconds = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    return true;
}

}  // namespace

bool read_cpu_counters(pid_t pid, cpu_counters *counters) {
    std::ifstream schedstat(proc_file(pid, "schedstat"));
    uint64_t on_cpu_ns = 0;
    uint64_t waiting_ns = 0;
    if (!(schedstat >> on_cpu_ns >> waiting_ns >> counters->timeslices) ||
        !read_stat_seconds(pid, &counters->stat_seconds)) {
        return false;
    }
    counters->sched_seconds = static_cast<double>(on_cpu_ns) / 1e9;
    counters->at = clock::now();
    return true;
}

cpu_use cpu_between(const cpu_counters &before, const cpu_counters &after) {
    cpu_use use;
    use.seconds = std::chrono::duration<double>(after.at - before.at).count();
    if (use.seconds <= 0) {
        return use;
    }
    use.stat_percent = 100 * (after.stat_seconds - before.stat_seconds) / use.seconds;
    use.sched_percent = 100 * (after.sched_seconds - before.sched_seconds) / use.seconds;
    use.wakeups_per_second =
        static_cast<double>(after.timeslices - before.timeslices) / use.seconds;
    return use;
}

bool read_memory(pid_t pid, memory_use *memory) {
    std::ifstream rollup(proc_file(pid, "smaps_rollup"));
    std::string key;
    long value = 0;
    std::string unit;
    long rss = -1;
    long private_kib = 0;
    std::string line;
    while (std::getline(rollup, line)) {
        std::istringstream fields(line);
        if (!(fields >> key >> value >> unit)) {
            continue;
        }
        if (key == "Rss:") {
            rss = value;
        } else if (key == "Private_Clean:" || key == "Private_Dirty:") {
            private_kib += value;
        }
    }
    memory->rss_kib = rss;
    memory->private_kib = rss < 0 ? -1 : private_kib;
    return rss >= 0;
}

std::string process_name(pid_t pid) {
    std::ifstream comm(proc_file(pid, "comm"));
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace bench
