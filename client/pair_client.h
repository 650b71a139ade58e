// A web-requested pairing from the web side: the request, then the wait for
// the passkey and the outcome on the reply pipe.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "client/client_events.h"
#include "client/run_result.h"
#include "common/pipe_protocol.h"

struct pair_request {
    std::string address;  // colon form, already checked
    std::chrono::milliseconds timeout{60000};
    std::chrono::milliseconds grace{2000};
};

struct pipe_paths {
    const char *request = request_pipe_path;
    const char *reply = reply_pipe_path;
};

// Where the client learns whether a device is paired when the pipe stays silent.
class pairing_lookup {
  public:
    virtual ~pairing_lookup() = default;
    enum class answer { paired, not_paired, failed };
    // `failure` is filled for answer failed.
    virtual answer is_paired(std::string_view address, int timeout_ms, std::string &failure) = 0;
    // Asks BlueZ to give up a pairing of the device still under way, so that
    // its outcome is not left for the next client to read. Best effort.
    virtual void cancel_pairing(std::string_view address, int timeout_ms) = 0;
};

// Sends the request and reports to `events` what comes back, until an outcome,
// an error or the time limit. Returns how the run ended.
run_result request_pairing(const pair_request &request, event_sink &events, pairing_lookup &lookup,
                           const pipe_paths &paths = {});
