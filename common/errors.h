// How failures travel, in the daemon and in pairgate-pair alike. These are
// all the shapes there are, and a test of a step always reads "if it failed":
// - A D-Bus step returns bool, true on success, or the message it builds,
//   null on failure, and leaves the reason in the error_guard it was given,
//   clear: bluez_calls.h, select_adapter and adapter_call (bluez_link.h),
//   managed_objects_call; start_web_pairing names the failed step
//   (pairing_start). A callee never logs a record it was handed, and clears
//   one only where the failure is none (a first Busy, an agent BlueZ dropped).
// - A file, pipe or socket step of the daemon returns its outcome, with the
//   errno or reason where its caller logs one: opened_fifo (io/named_pipe.h),
//   request_pipe_setup (webui/request_pipe.h), request_read (web_pairing.h),
//   the syslog sender's delivery.
// - A step of pairgate-pair returns std::optional<run_failure>
//   (client/run_result.h), none on success, any value through a reference,
//   held as `failure` (`if (auto failure = step(...))`): client_pipes.h,
//   bluez_lookup.h, pair_client.h's lookup. A run's end becomes an event and
//   an exit status in one place: request_pairing (its wait's steps give how
//   the run ended, none while it goes on), list_devices, and for a usage
//   error (parsed_options, printed as the line asked) client/pairgate_pair.cpp.
// - The C interfaces keep their C shape: the input readers read 0 on failure;
//   input_read, gpio_ioctl, input_probe, the child runner and fd_above_stdio
//   return -1, or RUN_WAIT_ABANDONED.
// - At the libdbus edge, a message function answers with a DBusHandlerResult:
//   handled, not yet handled (libdbus refuses the call), or need memory;
//   nothing throws, least of all across a libdbus callback.
// - A step whose failure ends nothing logs it itself, on a record of its own:
//   the reply pipe's writes, the pairing window's Sets, agent_request_default,
//   the trust rule's calls, the end of a web pairing, the input probe, the
//   agent's refusals of malformed calls. One that drops a failure says why.
// Readers are not steps: one that finds nothing answers false, null or none,
// with no reason, never logged: managed_objects.h, device_path.h,
// reply_message.h, settings.h, refresh_bluez_owner, select_adapter with a
// clear record, pairing_unavailable() (null: nothing in the way), the
// client's readers of BlueZ's list (device_listing's status), of the pipes and
// of its options. One that cannot tell answers what misses nothing
// (loop_events). The caller that decides what a failure means logs it once,
// at the priority it deserves (common/log.h), and clears the record
// (log_failure below, or error_guard::clear()) for the next call.
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
