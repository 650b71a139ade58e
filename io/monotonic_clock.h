// Milliseconds on the monotonic clock, for deadlines that a change of the
// wall clock must not move. C++ only; not installed.
#pragma once

#include <ctime>

inline long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}
