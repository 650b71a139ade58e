// The daemon's end of the request pipe.
#include "webui/request_pipe.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "webui/pipe_protocol.h"

request_pipe_setup set_up_request_pipe() {
    request_pipe_setup setup;
    if (mkfifo(request_pipe_path, 0600) != 0 && errno != EEXIST) {
        setup.outcome = request_pipe_setup::step::create_failed;
        setup.reason = strerror(errno);
        return setup;
    }
    opened_fifo pipe = open_fifo(request_pipe_path, O_RDONLY | O_NONBLOCK);
    if (!pipe.fd) {
        setup.outcome = request_pipe_setup::step::open_failed;
        setup.reason = pipe.reason();
        return setup;
    }
    setup.fd = std::move(pipe.fd);
    return setup;
}

void remove_request_pipe() {
    (void)unlink(request_pipe_path);
}
