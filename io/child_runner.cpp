// Child process runner: fork, per-thread standard stream choices, exec, wait.
#include "io/child_runner.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "io/descriptors.h"
#include "io/monotonic_clock.h"

namespace {

constexpr int stream_count = 3;
constexpr int argument_slots = RUN_MAX_ARGS + 2;  // the path, the arguments, the null
constexpr int longest_nap_ms = 50;                // how late run_wait may notice a cancel

// The child's stdin, stdout and stderr for the next run; see child_runner.h.
thread_local int child_stdio[stream_count] = {-1, -1, -1};

// "/dev/null" for the child, never on 0, 1 or 2: with the parent's standard
// streams closed, open() would hand out one of them and the loop below would
// close it before duplicating it onto the other streams.
int open_null_above_stdio() {
    return fd_above_stdio(open("/dev/null", O_RDWR));
}

void close_from_3_up() {
#ifdef SYS_close_range
    // By number, not through libc, so older C libraries still load us.
    if (syscall(SYS_close_range, 3U, UINT_MAX, 0U) == 0) {
        return;
    }
#endif
    // Kernels before 5.9 lack close_range.
    for (int fd = getdtablesize() - 1; fd >= 3; --fd) {
        close(fd);
    }
}

void nap_ms(int ms) {
    timespec pause{ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);  // an early wake by a signal only shortens the nap
}

// A failed wait gives -1, never a status word nobody wrote.
int wait_blocking(pid_t pid) {
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid, &status, 0);
    } while (done < 0 && errno == EINTR);
    return done < 0 ? -1 : status;
}

int kill_and_reap(pid_t pid) {
    kill(pid, SIGKILL);
    wait_blocking(pid);
    return RUN_WAIT_ABANDONED;
}

}  // namespace

extern "C" {

void run_set_stdout(int fd) {
    if (fd == 0 || fd == 2) {
        return;
    }
    child_stdio[1] = fd;
}

void run_release_stdio(void) {
    for (int &fd : child_stdio) {
        if (fd > 2) {
            close(fd);
        }
        fd = -1;
    }
}

void child_exec(const char *path, va_list args) {
    int null_fd = open_null_above_stdio();
    for (int k = 0; k < stream_count; ++k) {
        if (child_stdio[k] == k) {
            continue;
        }
        close(k);
        if (child_stdio[k] >= 0) {
            dup2(child_stdio[k], k);
        } else if (null_fd >= 0) {
            dup2(null_fd, k);
        }
    }
    close_from_3_up();

    // No heap here: after a fork in a multi-threaded process the allocator's
    // locks may be held by a thread that does not exist in the child.
    char *argv[argument_slots];
    int count = 0;
    argv[count++] = const_cast<char *>(path);
    for (const char *arg = va_arg(args, const char *); arg != nullptr && count <= RUN_MAX_ARGS;
         arg = va_arg(args, const char *)) {
        argv[count++] = const_cast<char *>(arg);
    }
    argv[count] = nullptr;
    execvp(argv[0], argv);
}

pid_t run_startv(const char *path, va_list args) {
    pid_t pid = fork();
    if (pid == 0) {
        child_exec(path, args);
        _exit(1);
    }
    // Also after a failed fork, so the caller's pipe ends are not left open.
    run_release_stdio();
    return pid < 0 ? -1 : pid;
}

pid_t run_start(const char *path, ...) {
    va_list args;
    va_start(args, path);
    pid_t pid = run_startv(path, args);
    va_end(args);
    return pid;
}

int run_wait(pid_t pid, int timeout_ms, const volatile sig_atomic_t *cancel) {
    if (timeout_ms < 0 && cancel == nullptr) {
        return wait_blocking(pid);
    }
    const deadline end(timeout_ms);
    int nap = 1;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (cancel != nullptr && *cancel != 0) {
            return kill_and_reap(pid);
        }
        const int left = end.unlimited() ? longest_nap_ms : end.left_ms();
        if (left <= 0) {
            return kill_and_reap(pid);
        }
        // Short naps first, so a quick child costs little latency.
        nap_ms(left < nap ? left : nap);
        nap = nap * 2 > longest_nap_ms ? longest_nap_ms : nap * 2;
    }
}

int run_program(const char *path, ...) {
    va_list args;
    va_start(args, path);
    pid_t pid = run_startv(path, args);
    va_end(args);
    if (pid < 0) {
        return -1;
    }
    return run_wait(pid, -1, nullptr);
}

}  // extern "C"
