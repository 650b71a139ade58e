// Small helpers shared by the runner and reader tests: files, pipes, deadlines.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/syscall.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace io_test {

using steady = std::chrono::steady_clock;

// Generous bound for anything a test waits on; a correct run needs a fraction.
constexpr std::chrono::seconds patience{30};

inline std::string read_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

inline std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

// Everything readable from fd until end of file; stops at the deadline and
// then reports "<timeout>" so a hang shows as a failed comparison.
inline std::string read_until_eof(int fd) {
    std::string text;
    auto deadline = steady::now() + patience;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
        if (left.count() <= 0) {
            return text + "<timeout>";
        }
        pollfd readable{fd, POLLIN, 0};
        int ready = poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        char buffer[256];
        ssize_t got = ready > 0 ? read(fd, buffer, sizeof buffer) : -1;
        if (got <= 0) {
            return got == 0 ? text : text + "<error>";
        }
        text.append(buffer, static_cast<size_t>(got));
    }
}

inline bool is_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

// True when this process has no child left, neither running nor a zombie.
inline bool has_no_children() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// System calls in which a thread sleeps while waiting for a child.
const std::initializer_list<long> waiting_calls = {SYS_wait4, SYS_clock_nanosleep,
#ifdef SYS_nanosleep
                                                   SYS_nanosleep
#endif
};
// System calls in which a thread sleeps while waiting for a pipe.
const std::initializer_list<long> polling_calls = {SYS_ppoll,
#ifdef SYS_poll
                                                   SYS_poll
#endif
};

// qemu-user hands /proc/<pid>/task/<tid>/syscall through from the host, so
// under it the file shows the host's system call numbers (x86-64's wait4 is
// 61, ARM's 114, AArch64's 260) and wait_for_syscall cannot recognise one.
// A cross build's ctest sets PAIRGATE_EMULATED when the tests run under it.
inline bool syscalls_hidden_by_emulator() {
    const char *emulator = getenv("PAIRGATE_EMULATED");
    return emulator != nullptr && *emulator != '\0';
}
constexpr const char *syscalls_hidden_reason =
    "under qemu-user, /proc/<pid>/task/<tid>/syscall shows the host's system call numbers";

// Waits until thread `tid` of this process sits in one of the system calls
// `numbers`; false when that did not happen in time.
inline bool wait_for_syscall(pid_t tid, std::initializer_list<long> numbers) {
    std::string file = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    auto deadline = steady::now() + patience;
    while (steady::now() < deadline) {
        long current = std::strtol(read_file(file).c_str(), nullptr, 10);
        for (long number : numbers) {
            if (current == number) {
                return true;
            }
        }
        std::this_thread::yield();
    }
    return false;
}

}  // namespace io_test
