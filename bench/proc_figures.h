// What /proc tells about one process: CPU time, scheduling and memory.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "bench/bus.h"

namespace bench {

struct cpu_counters {
    double stat_seconds = 0;   // utime + stime of /proc/PID/stat (clock ticks)
    double sched_seconds = 0;  // time on a CPU from /proc/PID/schedstat (nanoseconds)
    uint64_t timeslices = 0;   // times it was scheduled in: its wake-ups, near enough
    clock::time_point at{};
};

// CPU use between two readings, in % of one core.
struct cpu_use {
    double stat_percent = -1;
    double sched_percent = -1;
    double wakeups_per_second = -1;
    double seconds = 0;
};

struct memory_use {
    long rss_kib = -1;
    long private_kib = -1;  // Private_Clean + Private_Dirty of /proc/PID/smaps_rollup
};

bool read_cpu_counters(pid_t pid, cpu_counters *counters);
cpu_use cpu_between(const cpu_counters &before, const cpu_counters &after);
bool read_memory(pid_t pid, memory_use *memory);
// The command name the kernel shows for PID (/proc/PID/comm).
std::string process_name(pid_t pid);

}  // namespace bench
