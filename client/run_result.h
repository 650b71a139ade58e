// How a run of pairgate-pair ends, and the exit status each ending has.
#pragma once

#include <string>

enum class run_result {
    paired,
    failed,
    usage_error,
    not_running,  // no daemon reads the request pipe
    timed_out,
    local_error,  // a pipe, a protocol error, the bus: nothing said about the pairing
    interrupted,  // a signal asked the run to end; the pairing was cancelled
    busy,         // another pairgate-pair is already waiting on the reply pipe
};

// 0 paired, 1 failed, 2 usage error, 3 not running, 4 timed out, 5 local error
// (and an interrupted run, whose program should rather end by the signal),
// 6 another pairing running.
int exit_status(run_result result);

// An ending other than an outcome, with what to tell the caller.
struct run_failure {
    run_result result;
    std::string message;
};
