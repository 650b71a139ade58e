// The daemon's end of the request pipe: made at start-up, read by the web
// pairing (webui/web_pairing.h), removed at the end.
#pragma once

#include <sys/types.h>

#include "io/named_pipe.h"

// How setting up the request pipe went; the daemon logs it.
struct request_pipe_setup {
    enum class step { ready, create_failed, open_failed, in_use };

    step outcome = step::ready;
    unique_fd fd;                  // read-write (a writer of our own), non-blocking, when ready
    const char *reason = nullptr;  // why a step failed, for the log

    // Set when something not of the daemon's own stood at the path and a new
    // pipe took its place: what it was, and whose.
    const char *replaced_kind = nullptr;
    uid_t replaced_owner = 0;
    // Set when that was a directory, which was moved aside rather than replaced.
    moved_directory moved;
};

// Creates the pipe with mode 0600 and opens it for reading (and writing, so
// that it never reports a hang-up) without blocking, and locks it: in_use
// while another daemon holds it, which must be left alone.
// A pipe of the daemon's own user left by an earlier run (or set up by the
// integrator) is used as it is, whatever its group and mode. Anything else -
// another user's pipe, a link, a file - is replaced atomically by a new pipe:
// /var/tmp is writable by everyone, and whoever could write the request pipe
// could have any device paired and trusted. A directory is moved aside.
request_pipe_setup set_up_request_pipe();

// Removes the pipe's path; whether that worked is not looked at.
void remove_request_pipe();
