// Stand-in for the gateway's GPIO driver behind "/dev/gpio", loaded with LD_PRELOAD.
//
// Opens of exactly "/dev/gpio" go to the real file (so a missing one fails
// with ENOENT, as on a gateway) and are logged as "open <result>" to
// $PAIRGATE_SIM_DIR/gpio.log. The four input requests, on any descriptor that
// refers to the file opened as "/dev/gpio" (duplicates included), are answered
// from that file's current content: whitespace-separated tokens for bin0 to
// bin3; a non-negative integer is the ioctl's result, "e" fails with EIO, and a
// missing or other token fails with EINVAL. Each is logged as
// "ioctl 0x80004207 <result>". Everything else reaches the real calls.
//
// A gateway's driver answers a reading with the ioctl alone, and the daemon's
// CPU is measured with this stand-in in place, so a reading on a descriptor it
// knows costs one system call too: the read of the file. A descriptor is known
// from its open as "/dev/gpio", or from its first request when it is a
// duplicate, until it is closed (close, dup2 or dup3 onto it; a descriptor
// closed otherwise, say by close_range before an exec, must not be reused for
// another file with these requests).
//
// Kept free of the C++ library and of the sanitizers: it is preloaded into
// every program the sandbox starts, shell scripts included.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *gpio_path = "/dev/gpio";
constexpr unsigned long input_requests[] = {0x80004207, 0x8000421B, 0x8000422E, 0x8000422F};
constexpr int input_count = sizeof input_requests / sizeof input_requests[0];

using open_fn = int (*)(const char *, int, ...);
using openat_fn = int (*)(int, const char *, int, ...);
using ioctl_fn = int (*)(int, unsigned long, ...);
using close_fn = int (*)(int);
using dup2_fn = int (*)(int, int);
using dup3_fn = int (*)(int, int, int);

// Identity of the file last opened as "/dev/gpio"; 0/0 before any.
std::atomic<unsigned long long> gpio_dev{0};
std::atomic<unsigned long long> gpio_ino{0};

// Descriptors known to refer to that file; -1: a free slot. A descriptor that
// finds no slot is checked on each request, as an unknown one is.
constexpr int known_max = 8;
std::atomic<int> known[known_max] = {{-1}, {-1}, {-1}, {-1}, {-1}, {-1}, {-1}, {-1}};

template <typename Fn>
Fn next_symbol(const char *name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// The real call behind one that every close goes through: looked up once,
// not on each call (a child between fork and exec closes descriptors too).
template <typename Fn>
Fn next_symbol_once(std::atomic<Fn> &found, const char *name) {
    Fn symbol = found.load();
    if (symbol == nullptr) {
        symbol = next_symbol<Fn>(name);
        found = symbol;
    }
    return symbol;
}

std::atomic<close_fn> real_close{nullptr};
std::atomic<dup2_fn> real_dup2{nullptr};
std::atomic<dup3_fn> real_dup3{nullptr};

bool is_gpio_path(const char *path) {
    return path != nullptr && strcmp(path, gpio_path) == 0;
}

// One write per line, so lines from several threads or processes stay whole.
void log_line(const char *line) {
    const char *dir = getenv("PAIRGATE_SIM_DIR");
    if (dir == nullptr) {
        return;
    }
    char path[4096];
    if (snprintf(path, sizeof path, "%s/gpio.log", dir) >= static_cast<int>(sizeof path)) {
        return;
    }
    const auto real_open = next_symbol<open_fn>("open");
    int saved_errno = errno;
    int fd = real_open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t written = write(fd, line, strlen(line));
        (void)written;
        close(fd);
    }
    errno = saved_errno;
}

bool is_known(int fd) {
    for (const std::atomic<int> &slot : known) {
        if (slot.load() == fd) {
            return true;
        }
    }
    return false;
}

void remember(int fd) {
    for (std::atomic<int> &slot : known) {
        int free_slot = -1;
        if (slot.compare_exchange_strong(free_slot, fd)) {
            return;
        }
    }
}

void forget(int fd) {
    for (std::atomic<int> &slot : known) {
        int known_fd = fd;
        (void)slot.compare_exchange_strong(known_fd, -1);
    }
}

void forget_all() {
    for (std::atomic<int> &slot : known) {
        slot = -1;
    }
}

int note_open(int fd) {
    int saved_errno = errno;
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0) {
        if (st.st_dev != gpio_dev || st.st_ino != gpio_ino) {
            forget_all();  // descriptors of an earlier file are not this one's
        }
        gpio_dev = st.st_dev;
        gpio_ino = st.st_ino;
        remember(fd);
    }
    char line[32];
    (void)snprintf(line, sizeof line, "open %d\n", fd);
    log_line(line);
    errno = saved_errno;
    return fd;
}

bool needs_mode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int open_via(const char *symbol, const char *path, int flags, mode_t mode) {
    const auto real_open = next_symbol<open_fn>("open");
    auto real = next_symbol<open_fn>(symbol);
    if (real == nullptr) {
        real = real_open;
    }
    int fd = real(path, flags, mode);
    return is_gpio_path(path) ? note_open(fd) : fd;
}

int openat_via(const char *symbol, int dirfd, const char *path, int flags, mode_t mode) {
    auto real = next_symbol<openat_fn>(symbol);
    if (real == nullptr) {
        real = next_symbol<openat_fn>("openat");
    }
    int fd = real(dirfd, path, flags, mode);
    return is_gpio_path(path) ? note_open(fd) : fd;
}

int request_index(unsigned long request) {
    for (int i = 0; i < input_count; ++i) {
        if (input_requests[i] == request) {
            return i;
        }
    }
    return -1;
}

bool refers_to_gpio(int fd) {
    if (is_known(fd)) {
        return true;
    }
    struct stat st {};
    if (gpio_ino == 0 || fstat(fd, &st) != 0 || st.st_dev != gpio_dev || st.st_ino != gpio_ino) {
        return false;
    }
    remember(fd);
    return true;
}

// Token `index` of the file's content: its level, or -1 with errno set.
int level_from_file(int fd, int index) {
    char content[256];
    ssize_t got = pread(fd, content, sizeof content - 1, 0);
    if (got < 0) {
        return -1;
    }
    content[got] = '\0';
    char *save = nullptr;
    char *token = strtok_r(content, " \t\r\n", &save);
    for (int i = 0; token != nullptr && i < index; ++i) {
        token = strtok_r(nullptr, " \t\r\n", &save);
    }
    if (token != nullptr && strcmp(token, "e") == 0) {
        errno = EIO;
        return -1;
    }
    char *end = nullptr;
    long level = token != nullptr ? strtol(token, &end, 10) : -1;
    if (token == nullptr || *end != '\0' || level < 0 || level > 0x7fffffff) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(level);
}

int answer_request(int fd, unsigned long request, int index) {
    int result = level_from_file(fd, index);
    if (getenv("PAIRGATE_SIM_DIR") != nullptr) {
        int saved_errno = errno;
        char line[64];
        (void)snprintf(line, sizeof line, "ioctl 0x%08lX %d\n", request, result);
        log_line(line);
        errno = saved_errno;
    }
    return result;
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = needs_mode(flags) ? static_cast<mode_t>(va_arg(args, unsigned int)) : 0;
    va_end(args);
    return open_via("open", path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = needs_mode(flags) ? static_cast<mode_t>(va_arg(args, unsigned int)) : 0;
    va_end(args);
    return open_via("open64", path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = needs_mode(flags) ? static_cast<mode_t>(va_arg(args, unsigned int)) : 0;
    va_end(args);
    return openat_via("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = needs_mode(flags) ? static_cast<mode_t>(va_arg(args, unsigned int)) : 0;
    va_end(args);
    return openat_via("openat64", dirfd, path, flags, mode);
}

// The fortified entry points that -D_FORTIFY_SOURCE builds call instead.
int __open_2(const char *path, int flags) {
    return open_via("__open_2", path, flags, 0);
}
int __open64_2(const char *path, int flags) {
    return open_via("__open64_2", path, flags, 0);
}
int __openat_2(int dirfd, const char *path, int flags) {
    return openat_via("__openat_2", dirfd, path, flags, 0);
}
int __openat64_2(int dirfd, const char *path, int flags) {
    return openat_via("__openat64_2", dirfd, path, flags, 0);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    int index = request_index(request);
    if (index >= 0 && refers_to_gpio(fd)) {
        return answer_request(fd, request, index);
    }
    const auto real_ioctl = next_symbol<ioctl_fn>("ioctl");
    return real_ioctl(fd, request, argument);
}

int close(int fd) {
    forget(fd);
    return next_symbol_once(real_close, "close")(fd);
}

int dup2(int old_fd, int new_fd) {
    if (old_fd != new_fd) {
        forget(new_fd);
    }
    return next_symbol_once(real_dup2, "dup2")(old_fd, new_fd);
}

int dup3(int old_fd, int new_fd, int flags) {
    forget(new_fd);
    return next_symbol_once(real_dup3, "dup3")(old_fd, new_fd, flags);
}

}  // extern "C"
