// How failures travel, in the daemon and in pairgate-pair alike. These are
// all the shapes there are, each at its own kind of boundary:
// - A D-Bus step returns bool, true on success, or the message it builds,
//   null on failure, and leaves the reason in the error_guard it was given:
//   bluez/ (bluez_calls.h, bluez_link.h), adapter selection, the web
//   pairing's steps (start_web_pairing names which step failed in its
//   pairing_start), the following of BlueZ.
// - A file or pipe step of the daemon returns a result record with its
//   outcome and the errno or reason: opened_fifo (io/named_pipe.h; inside
//   named_pipe.cpp small helpers hand it 0 or an errno), request_pipe_setup
//   (webui/request_pipe.h), request_read (webui/web_pairing.h).
// - pairgate-pair's steps return std::optional<run_failure>
//   (client/run_result.h), none on success, with any value through a
//   reference: client_pipes.h, bluez_lookup.h, pair_client.h's lookup. What
//   ends a run becomes an event and an exit status in one place,
//   request_pairing and list_devices (the command line's own in
//   client/pairgate_pair.cpp).
// - The C interfaces of the shared libraries keep their C shape: the input
//   readers read 0 on failure, the child runner returns -1, or
//   RUN_WAIT_ABANDONED (-2) (io/child_runner.h).
// - At the libdbus edge, a message function answers with a
//   DBusHandlerResult: handled, not yet handled (libdbus then refuses a
//   method call itself), or need memory. Nothing throws, least of all
//   across a libdbus callback.
// - A question whose answer is a reason: pairing_unavailable() (bluez_link.h)
//   names why a web pairing cannot start, or is null.
// Logging: a low-level function never logs. The caller that decides what a
// failure means logs it once, at the priority it deserves (common/log.h), and
// clears the record (log_failure below, or error_guard::clear()), so the
// next call starts with a clear record. A step whose failure ends nothing and
// is only reported is that caller: the reply pipe's writes, the input probe,
// the agent's refusals of malformed calls, the pairing window's Sets, and the end
// of a web pairing, which goes on through every step whatever failed.
#pragma once

#include <dbus/dbus.h>

// The text of an error record for a log line; never null.
inline const char *error_text(const DBusError *error) {
    if (dbus_error_is_set(error) && error->message != nullptr) {
        return error->message;
    }
    return "no error details";
}

// A DBusError initialised on construction and freed on destruction.
class error_guard {
  public:
    error_guard() { dbus_error_init(&error_); }
    ~error_guard() { dbus_error_free(&error_); }
    error_guard(const error_guard &) = delete;
    error_guard &operator=(const error_guard &) = delete;

    DBusError *get() { return &error_; }
    explicit operator bool() const { return dbus_error_is_set(&error_) != 0; }
    const char *text() const { return error_text(&error_); }

    // Makes the record clear for the next call, once its failure has been
    // logged. The one way a record is cleared.
    void clear() { dbus_error_free(&error_); }

  private:
    DBusError error_;
};

// The record of a step that ran out of memory (building a message).
inline void set_no_memory(error_guard &error) {
    dbus_set_error_const(error.get(), DBUS_ERROR_NO_MEMORY, "out of memory");
}

// Logs format with the record's text for its one "%s" at priority, then
// clears the record: what the caller that decides does with a failed step.
void log_failure(int priority, const char *format, error_guard &error);
