// The GPIO character device "/dev/gpio": opened once, on first use, then one ioctl per reading.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

#include "io/descriptors.h"
#include "io/input_readers.h"

namespace {

// -1 until the device has been opened; then open for the life of the process.
int gpio_fd = -1;

// 0 free, 1 held; guards the lazy open when several threads read inputs.
std::atomic<int> gpio_lock{0};

void take_gpio_lock() {
    while (gpio_lock.exchange(1) != 0) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void release_gpio_lock() {
    gpio_lock.store(0, std::memory_order_release);
}

// Keeps the device off descriptors 0, 1 and 2: when the process started with
// its standard streams closed, a stray write to stderr (a library's warning)
// must not reach the GPIO driver.
int open_gpio_device() {
    return fd_above_stdio(open("/dev/gpio", O_RDWR | O_CLOEXEC));
}

}  // namespace

extern "C" int gpio_ioctl(unsigned long request, int argument) {
    take_gpio_lock();
    if (gpio_fd < 0) {
        gpio_fd = open_gpio_device();
    }
    int fd = gpio_fd;  // read under the lock; the ioctl itself runs unlocked
    release_gpio_lock();
    if (fd < 0) {
        return -1;
    }
    return ioctl(fd, request, argument);
}
