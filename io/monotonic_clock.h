// Deadlines on the monotonic clock, which a change of the wall clock must
// not move. The one way the daemon's waits compute what time is left.
// C++ only; not installed.
#pragma once

#include <ctime>

inline long monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// A moment timeout_ms from when it was made, or none for a negative timeout.
class deadline {
  public:
    explicit deadline(int timeout_ms) : at_ms_(timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms) {}

    bool unlimited() const { return at_ms_ < 0; }

    // Milliseconds left, at least 0; -1 without a limit (poll's "for ever").
    int left_ms() const {
        if (unlimited()) {
            return -1;
        }
        const long left = at_ms_ - monotonic_ms();
        return left > 0 ? static_cast<int>(left) : 0;
    }

    bool passed() const { return left_ms() == 0; }

  private:
    long at_ms_;  // monotonic; negative: no limit
};
