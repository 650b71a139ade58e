// Owned file descriptors, and keeping a descriptor off the standard streams.
// Header-only and C++ only; not installed.
#pragma once

#include <fcntl.h>
#include <unistd.h>

// An owned file descriptor, closed when its owner goes.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// fd itself when it is above 2 (or negative); otherwise a close-on-exec copy
// at 3 or above, the original closed (-1 when the copy fails). A process
// started with its standard streams closed gets 0, 1 or 2 from open() and
// pipe(); such a descriptor would be taken for a standard stream by a child
// or by a library's stray warning. Async-signal-safe: used between fork and
// exec too.
inline int fd_above_stdio(int fd) {
    if (fd < 0 || fd > 2) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}
