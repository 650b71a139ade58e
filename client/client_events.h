// What pairgate-pair has to tell its caller while it waits, and where it goes.
#pragma once

#include <string>

enum class event_kind { passkey, paired, failed, timeout, error };

// One thing to report. `text` is the passkey digits for a passkey, the device
// address for paired, failed and timeout, and the message for an error.
struct client_event {
    event_kind kind;
    std::string text;
};

class event_sink {
  public:
    virtual ~event_sink() = default;
    virtual void report(const client_event &event) = 0;
};
