// The daemon's end of the request pipe.
#include "webui/request_pipe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "common/pipe_protocol.h"

namespace {

// Read-write: the daemon's own writer keeps the pipe from reporting a
// hang-up for ever once a web UI writer has closed it, so the loop can wait
// on it. A client still finds no reader when no daemon runs.
constexpr int open_flags = O_RDWR | O_NONBLOCK;

bool is_own_pipe(const struct stat &status) {
    return S_ISFIFO(status.st_mode) && status.st_uid == geteuid();
}

request_pipe_setup failed(request_pipe_setup::step step, const char *reason) {
    request_pipe_setup setup;
    setup.outcome = step;
    setup.reason = reason;
    return setup;
}

request_pipe_setup ready(unique_fd fd) {
    // Two daemons reading one pipe would each take some of the requests.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return failed(request_pipe_setup::step::in_use, nullptr);
    }
    request_pipe_setup setup;
    setup.fd = std::move(fd);
    return setup;
}

// Puts a new pipe of ours in the place of what stands there now.
request_pipe_setup replace_what_stands_there() {
    struct stat found {};
    const bool looked = lstat(request_pipe_path, &found) == 0;
    opened_fifo pipe = replace_with_private_fifo(request_pipe_path, open_flags);
    if (!pipe.fd) {
        return failed(request_pipe_setup::step::create_failed, pipe.reason());
    }
    request_pipe_setup setup = ready(std::move(pipe.fd));
    setup.replaced_kind = looked ? file_kind(found.st_mode) : "something";
    setup.replaced_owner = looked ? found.st_uid : 0;
    setup.moved = pipe.moved;
    return setup;
}

}  // namespace

request_pipe_setup set_up_request_pipe() {
    struct stat found {};
    if (lstat(request_pipe_path, &found) != 0) {
        if (errno != ENOENT || (mkfifo(request_pipe_path, 0600) != 0 && errno != EEXIST)) {
            return failed(request_pipe_setup::step::create_failed, strerror(errno));
        }
    } else if (!is_own_pipe(found)) {
        return replace_what_stands_there();
    }
    opened_fifo pipe = open_fifo(request_pipe_path, open_flags);
    if (pipe.fd && is_own_pipe(pipe.status)) {
        return ready(std::move(pipe.fd));
    }
    if (!pipe.fd && pipe.error != ELOOP && pipe.error != ENOENT && pipe.error != EISDIR &&
        pipe.error != opened_fifo::not_a_fifo) {
        return failed(request_pipe_setup::step::open_failed, pipe.reason());
    }
    // Not what stood there a moment ago: someone swapped it in between.
    return replace_what_stands_there();
}

void remove_request_pipe() {
    (void)unlink(request_pipe_path);
}
