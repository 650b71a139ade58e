// How failures travel, in the daemon and in pairgate-pair alike.
//
// Four shapes, each at its own kind of boundary:
// - A D-Bus step (everything in bluez/, adapter selection, the pairing's
//   calls) returns bool, true on success, and leaves the reason in the
//   error_guard it was given.
// - A file or pipe step returns a result record that carries its outcome
//   and the errno or reason: opened_fifo (io/named_pipe.h),
//   request_pipe_setup (webui/request_pipe.h), request_read
//   (webui/web_pairing.h). The input readers keep the design's C shape:
//   -1, or a reading of 0, on failure.
// - At the libdbus edge, a message function answers with a
//   DBusHandlerResult: handled, not yet handled (libdbus then refuses a
//   method call itself), or need memory. Nothing throws, least of all
//   across a libdbus callback.
// - Logging: a low-level function never logs. The caller that decides what
//   a failure means logs it once, at the priority it deserves, and clears
//   the record (log_failure below, or error_guard::clear()), so the next
//   call starts with a clear record. Where the design has a step log its own
//   failures - the input probe, the reply pipe's writes, the agent's
//   refusals of malformed calls - that step is the caller that decides.
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
