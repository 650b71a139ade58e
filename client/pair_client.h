// A web-requested pairing from the web side: the request, then the wait for
// the passkey and the outcome on the reply pipe.
#pragma once

#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "client/client_events.h"
#include "client/run_result.h"
#include "common/pipe_protocol.h"

struct pair_request {
    std::string address;  // colon form, already checked
    std::chrono::milliseconds timeout{60000};
    std::chrono::milliseconds grace{2000};
    // Set (to the signal's number) by a handler when a signal asks the run to
    // end, e.g. SIGTERM from a web server's CGI time limit. The wait looks at
    // it and sleeps with `wait_mask` as its signal mask, so a handler runs
    // only there and the wait never misses it; none: no such signals.
    const volatile sig_atomic_t *ending_signal = nullptr;
    const sigset_t *wait_mask = nullptr;
};

struct pipe_paths {
    const char *request = request_pipe_path;
    const char *reply = reply_pipe_path;
};

// Where the client learns whether a device is paired when the pipe stays silent.
class pairing_lookup {
  public:
    virtual ~pairing_lookup() = default;
    enum class answer { paired, not_paired };
    // The answer in `result`, or why BlueZ could not give one.
    virtual std::optional<run_failure> is_paired(std::string_view address, int timeout_ms,
                                                 answer &result) = 0;
    // Asks BlueZ to give up a pairing of the device still under way, so that
    // its outcome is not left for the next client to read. Best effort.
    virtual void cancel_pairing(std::string_view address, int timeout_ms) = 0;
};

// Sends the request and reports to `events` what comes back, until an outcome,
// an error, the time limit or an ending signal. Returns how the run ended.
run_result request_pairing(const pair_request &request, event_sink &events, pairing_lookup &lookup,
                           const pipe_paths &paths = {});
