// The client's ends of the two pipes: the private reply pipe it listens on and
// the request it writes to the daemon.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "client/run_result.h"
#include "io/descriptors.h"

// The reply pipe open for reading (non-blocking), plus a write end of our own:
// while it is open, poll() never reports a hang-up after the daemon closes its
// end, and read() never sees end of file.
struct reply_listener {
    unique_fd reader;
    unique_fd writer;
    std::string notice;  // what was moved out of the way to make the pipe, for the user
};

// Creates the reply pipe with mode 0600 when it is missing and opens it. An
// existing pipe is used only when it is a FIFO owned by this user and closed
// to everyone else, since whoever can read it can take the passkey and whoever
// can write it can forge the outcome. Run as root, it replaces anything else
// there, and moves a directory aside (see notice). Holds an exclusive lock on
// it so that two clients never share the messages.
std::optional<run_failure> open_reply_pipe(const char *path, reply_listener &listener);

// Writes the 17-byte address in one write, without ever waiting for a reader.
// The write end is kept in `writer`, for request_unread.
std::optional<run_failure> send_request(const char *path, std::string_view address,
                                        unique_fd &writer);

// Whether bytes we wrote to the request pipe (through `writer`) still wait
// there: the daemon has not taken our request yet, so nothing it writes to
// the reply pipe meanwhile is about our device. Ours are the last bytes
// written, since the lock on the reply pipe keeps other clients out.
bool request_unread(int writer);

// How many bytes wait in the pipe that fd is an end of; 0 when that cannot
// be told.
std::size_t unread_bytes(int fd);
