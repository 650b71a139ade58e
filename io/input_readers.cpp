// The binary inputs bin0..bin3: the one-time probe of the I/O tool, then GPIO ioctls.
#include "io/input_readers.h"

#include <fcntl.h>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <ctime>

#include "io/child_runner.h"
#include "io/descriptors.h"
#include "io/monotonic_clock.h"
#include "io/repeat_limit.h"

namespace {

constexpr const char *io_tool = "/usr/bin/io";
constexpr int cancel_check_ms = 50;  // how late a probe may notice the stop flag

input_record inputs[INPUT_COUNT] = {
    {"bin0", INPUT_SUPPORT_UNKNOWN},
    {"bin1", INPUT_SUPPORT_UNKNOWN},
    {"bin2", INPUT_SUPPORT_UNKNOWN},
    {"bin3", INPUT_SUPPORT_UNKNOWN},
};

// _IOC(read, 'B', number, size 0) for the numbers 7, 27, 46 and 47.
constexpr unsigned long input_requests[INPUT_COUNT] = {0x80004207, 0x8000421B, 0x8000422E,
                                                       0x8000422F};

const volatile sig_atomic_t *cancel_flag = nullptr;
int probe_timeout_ms = INPUT_PROBE_TIMEOUT_MS;
input_logger logger = vsyslog;

__attribute__((format(printf, 2, 3))) void input_log(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    logger(priority, format, args);
    va_end(args);
}

// A probe that fails at once (no descriptor left for the tool's pipe, a
// failed wait) fails again on every reading: its lines are limited, and the
// count of those left out goes out before the next one, or once a probe gets
// through.
repeat_limit probe_failures;

// How a probe's wait on the tool ended.
enum class probe_end { finished, failed, timed_out, cancelled };

bool cancelled() {
    return cancel_flag != nullptr && *cancel_flag != 0;
}

// The daemon may run with its standard streams closed; a pipe end on 1 or 2
// would not be handed to the tool or closed by the runner, and the probe would
// wait for ever on its own pipe.
bool make_pipe(int ends[2]) {
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    ends[0] = fd_above_stdio(ends[0]);
    ends[1] = fd_above_stdio(ends[1]);
    if (ends[0] >= 0 && ends[1] >= 0) {
        return true;
    }
    for (int i = 0; i < 2; ++i) {
        if (ends[i] >= 0) {
            close(ends[i]);
        }
    }
    return false;
}

// Keeps the first byte of the tool's output in *first (-1 when none came) and
// discards the rest until end of file, so a tool that writes more than the
// pipe holds can still finish.
probe_end drain_output(int fd, const deadline &limit, int *first) {
    char buffer[4096];
    for (;;) {
        if (cancelled()) {
            return probe_end::cancelled;
        }
        int left = limit.left_ms();
        if (left == 0) {
            return probe_end::timed_out;
        }
        pollfd readable{fd, POLLIN, 0};
        int ready = poll(&readable, 1, left < 0 || left > cancel_check_ms ? cancel_check_ms : left);
        if (ready < 0 && errno != EINTR) {
            return probe_end::failed;
        }
        if (ready <= 0) {
            continue;
        }
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (got < 0) {
            // Once the first byte is in, a later error only ends the draining.
            return *first < 0 ? probe_end::failed : probe_end::finished;
        }
        if (got == 0) {
            return probe_end::finished;
        }
        if (*first < 0) {
            *first = static_cast<unsigned char>(buffer[0]);
        }
    }
}

// Waits for the tool within what is left of the probe's time.
probe_end wait_tool(pid_t pid, const deadline &limit, int *status) {
    int result = run_wait(pid, limit.left_ms(), cancel_flag);
    if (result == RUN_WAIT_ABANDONED) {
        return cancelled() ? probe_end::cancelled : probe_end::timed_out;
    }
    if (result < 0) {
        return probe_end::failed;
    }
    *status = result;
    return probe_end::finished;
}

// Runs the tool and collects its first output byte and its wait status.
probe_end run_tool(const char *name, int read_end, int *first, int *status) {
    pid_t pid = run_start(io_tool, "get", name, static_cast<const char *>(nullptr));
    const deadline limit(probe_timeout_ms);
    probe_end end = drain_output(read_end, limit, first);
    close(read_end);
    if (pid < 0) {
        // The runner closed the write end, so no byte came: unsupported.
        return end;
    }
    if (end != probe_end::finished) {
        run_wait(pid, 0, nullptr);  // kills and reaps the tool unless it has just ended
        return end;
    }
    return wait_tool(pid, limit, status);
}

// Logs how many failure lines were left out, when it is due or, forced, at once.
void report_left_out(const char *name, bool forced) {
    if (const unsigned count = probe_failures.take_left_out(monotonic_ms(), forced)) {
        input_log(LOG_ERR, "gpio: %u more failures when checking support for %s were not logged",
                  count, name);
    }
}

void probe_failed(const char *name, const char *format) {
    report_left_out(name, false);
    if (probe_failures.admit(monotonic_ms())) {
        input_log(LOG_ERR, format, name);
    }
}

void report_failure(probe_end end, const char *name) {
    if (end == probe_end::failed) {
        probe_failed(name, "gpio: read error when checking support for %s");
    } else if (end == probe_end::timed_out) {
        // Comes at most once per time limit: never left out.
        input_log(LOG_ERR, "gpio: timeout when checking support for %s", name);
    } else {
        // Cancelled: the daemon is stopping; nothing to report but the count.
        report_left_out(name, true);
    }
}

int read_input(int index) {
    const int reading = input_read(index);
    return reading >= 0 ? reading : 0;
}

}  // namespace

extern "C" {

const input_reader input_readers[INPUT_COUNT] = {read_bin0, read_bin1, read_bin2, read_bin3};

int read_bin0(void) {
    return read_input(0);
}
int read_bin1(void) {
    return read_input(1);
}
int read_bin2(void) {
    return read_input(2);
}
int read_bin3(void) {
    return read_input(3);
}

int input_read(int index) {
    input_record *record = &inputs[index];
    if (record->support == INPUT_SUPPORTED) {
        const int reading = gpio_ioctl(input_requests[index], 0);
        return reading >= 0 ? reading : -1;
    }
    if (record->support == INPUT_UNSUPPORTED) {
        return -1;
    }
    return input_probe(record);
}

const char *input_name(int index) {
    return inputs[index].name;
}

int input_probe(struct input_record *record) {
    const char *name = record->name;
    int ends[2];
    if (!make_pipe(ends)) {
        probe_failed(name, "gpio: cannot create pipe when checking support for %s");
        return -1;
    }
    run_set_stdout(ends[1]);
    int first = -1;
    int status = 0;
    probe_end end = run_tool(record->name, ends[0], &first, &status);
    if (end != probe_end::finished) {
        report_failure(end, name);
        return -1;
    }
    report_left_out(name, true);
    if (first != '0' && first != '1') {
        record->support = INPUT_UNSUPPORTED;
        return -1;
    }
    record->support = INPUT_SUPPORTED;
    return (status >> 8) & 0xff;
}

void input_set_cancel_flag(const volatile sig_atomic_t *flag) {
    cancel_flag = flag;
}

void input_set_logger(input_logger log) {
    logger = log != nullptr ? log : vsyslog;
}

void input_set_probe_timeout(int timeout_ms) {
    probe_timeout_ms = timeout_ms;
}

}  // extern "C"
