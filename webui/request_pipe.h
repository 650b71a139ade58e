// The daemon's end of the request pipe: made at start-up, read by the web
// pairing (webui/web_pairing.h), removed at the end.
#pragma once

#include "io/named_pipe.h"

// How setting up the request pipe went; the daemon logs the failures.
struct request_pipe_setup {
    enum class step { ready, create_failed, open_failed };

    step outcome = step::ready;
    unique_fd fd;                  // read-only, non-blocking, when ready
    const char *reason = nullptr;  // why a step failed, for the log
};

// Creates the pipe with mode 0600 (one left by an earlier run is used as it
// is) and opens it for reading without blocking.
request_pipe_setup set_up_request_pipe();

// Removes the pipe's path; whether that worked is not looked at.
void remove_request_pipe();
