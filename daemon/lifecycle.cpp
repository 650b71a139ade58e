// Start-up, main loop and shutdown of the daemon, in their fixed order.
#include "daemon/lifecycle.h"

#include <csignal>
#include <cstring>
#include <utility>

#include "agent/agent_message_handler.h"
#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/pairing_window.h"
#include "common/log.h"
#include "common/pipe_protocol.h"
#include "daemon/bluez_follow.h"
#include "daemon/log_mask.h"
#include "daemon/loop_wait.h"
#include "daemon/request_intake.h"
#include "daemon/syslog_sender.h"
#include "io/monotonic_clock.h"
#include "io/repeat_limit.h"
#include "settings/settings.h"
#include "webui/request_pipe.h"
#include "webui/web_pairing.h"

namespace {

constexpr const char *match_rules[] = {
    ("type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
     "sender='org.bluez'"),
    "type='method_return'",
    "type='error'",
    // Following BlueZ: its owner coming and going, its adapters appearing
    // and disappearing.
    ("type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
     "member='NameOwnerChanged',arg0='org.bluez'"),
    "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager'",
};

// Static so that the never-freed texts of the record stay reachable.
settings daemon_settings;

// The web-requested pairing under way. libdbus holds its address as the
// filter's (and at times the agent object's) user data, so it lives as long
// as the process.
pairing_request_record pairing_request;

// What the entry point holds for the whole run.
struct daemon_run {
    error_guard error;  // shared by every BlueZ call of start-up, loop and shutdown
    shared_connection_ptr connection;
    unique_fd request_pipe;
    bool owns_pipe = false;  // set up by this run, so removed at its end
    // Another daemon holds the pipe: it owns the agent and the window too, so
    // nothing is undone (BlueZ ends our discovery when we leave the bus).
    bool other_daemon = false;
    int exit_status = 0;
};

void on_stop_signal(int /*signal*/) {
    stop_requested = 1;
}

bool start_failed(daemon_run &run, const char *format, const char *detail) {
    log_message(LOG_ERR, format, detail);
    run.exit_status = 1;
    return false;
}

bool call_adapter(daemon_run &run, const char *method) {
    return adapter_call(run.connection.get(), run.error, method);
}

bool add_match_rules(daemon_run &run) {
    for (const char *rule : match_rules) {
        dbus_bus_add_match(run.connection.get(), rule, run.error.get());
        if (run.error) {
            return start_failed(run, "(Starting) Adding D-Bus match rule failed: %s",
                                run.error.text());
        }
    }
    // From here on every change of BlueZ's owner reaches us; one that came
    // before (a restart since the adapter search) is learnt now. No owner:
    // the registration that follows fails and says so.
    (void)refresh_bluez_owner(run.connection.get());
    return true;
}

bool find_adapter(daemon_run &run) {
    object_paths others;
    if (select_adapter(run.connection.get(), run.error, others)) {
        pairing_window_adapters_listed(others);
        return true;
    }
    return start_failed(run, "(Starting) No hci interface on DBus found: %s",
                        run.error ? run.error.text() : "no adapter is present");
}

bool start_discovery(daemon_run &run) {
    if (!call_adapter(run, "StartDiscovery")) {
        return start_failed(run, "(Starting) Enabling Discovery failed: %s", run.error.text());
    }
    log_message(LOG_INFO, "(Starting) Bluetooth scanning has been started on %s", adapter_path());
    pairing_window_set_up(daemon_settings, &stop_requested);
    return true;
}

bool open_request_pipe(daemon_run &run) {
    request_pipe_setup pipe = set_up_request_pipe();
    switch (pipe.outcome) {
        case request_pipe_setup::step::create_failed:
            log_message(LOG_ERR, "(Starting) Creating input FIFO (%s) failed: %s",
                        request_pipe_path, pipe.reason);
            break;
        case request_pipe_setup::step::open_failed:
            log_message(LOG_ERR, "(Starting) Opening input FIFO (%s) failed: %s", request_pipe_path,
                        pipe.reason);
            break;
        case request_pipe_setup::step::in_use:
            log_message(LOG_ERR, "(Starting) Input FIFO (%s) is in use by another pairgated",
                        request_pipe_path);
            run.other_daemon = true;
            break;
        case request_pipe_setup::step::ready:
            if (pipe.moved) {
                log_message(
                    LOG_WARNING,
                    "(Starting) Input FIFO (%s) was a directory owned by uid %u; moved it to %s "
                    "and made a new one",
                    request_pipe_path, static_cast<unsigned>(pipe.moved.owner),
                    pipe.moved.moved_to);
            } else if (pipe.replaced_kind != nullptr) {
                log_message(
                    LOG_WARNING,
                    "(Starting) Input FIFO (%s) was %s owned by uid %u; replaced it with a new "
                    "one",
                    request_pipe_path, pipe.replaced_kind,
                    static_cast<unsigned>(pipe.replaced_owner));
            }
            run.request_pipe = std::move(pipe.fd);
            run.owns_pipe = true;
            return true;
    }
    run.exit_status = 1;
    return false;
}

bool set_up_agent(daemon_run &run) {
    if (!dbus_connection_add_filter(run.connection.get(), agent_message_handler, &pairing_request,
                                    nullptr) ||
        !dbus_connection_add_filter(run.connection.get(), follow_bluez, &pairing_request,
                                    nullptr)) {
        return start_failed(run, "(Starting) Adding D-Bus filter failed: %s", "out of memory");
    }
    if (!agent_register(run.connection.get(), run.error, agent_message_handler,
                        agent_registration::no_input_no_output, nullptr)) {
        return start_failed(run, "(Starting) Registering agent failed: %s", run.error.text());
    }
    agent_request_default(run.connection.get());
    return true;
}

// Start-up from the adapter search on; false when a step failed.
bool start(daemon_run &run) {
    if (!find_adapter(run) || !start_discovery(run) || !open_request_pipe(run) ||
        !add_match_rules(run) || !set_up_agent(run)) {
        return false;
    }
    (void)signal(SIGINT, on_stop_signal);
    (void)signal(SIGTERM, on_stop_signal);
    log_message(LOG_NOTICE, "Bluetooth helper daemon has been started");
    return true;
}

// The sooner of two times to wake, -1 being none.
int sooner(int first, long second) {
    return first < 0 || (second >= 0 && second < first) ? static_cast<int>(second) : first;
}

// The soonest of the timed steps: the input's next sample, a Set owed to an
// adapter, the time limit of a web pairing's Pair, another look at a reply
// pipe a request waits on, a count of log lines left out (counts_due); -1 for
// none.
int next_timed_step_ms(long counts_due) {
    const int steps = sooner(
        sooner(pairing_window_due_ms(web_pairing_state == web_pairing::idle), web_pairing_due_ms()),
        request_intake_due_ms());
    return sooner(steps, counts_due);
}

// The bus is read only when the wait saw it ready; what libdbus already
// holds (read during a call of this pass) is dispatched whatever the wait saw.
// False when the connection is gone.
bool dispatch_bus(DBusConnection *connection, const loop_events &events) {
    if (!events.bus && dbus_connection_get_dispatch_status(connection) == DBUS_DISPATCH_COMPLETE) {
        return true;
    }
    return dbus_connection_read_write_dispatch(connection, 0);
}

// A pass dispatches at most one message, then sleeps until the next event or
// timed step: the input is sampled on its period, never spun on, and an
// agent call wakes the loop at once whatever the period. A wake-up for the
// sample alone reads neither the pipe nor the bus.
void run_loop(daemon_run &run) {
    loop_events events;  // the first pass looks at everything
    for (;;) {
        // The bus before the input's sample: a pairing BlueZ announced before
        // the input changed is judged by the window it began in.
        if (!dispatch_bus(run.connection.get(), events)) {
            return;
        }
        pairing_window_step(run.connection.get(), web_pairing_state == web_pairing::idle);
        const bool request_held = request_intake_due_ms() >= 0;
        if (web_pairing_state == web_pairing::idle && (events.request || request_held) &&
            !take_request(run.connection.get(), run.request_pipe.get(), pairing_request)) {
            run.exit_status = 1;
            return;
        }
        expire_web_pairing(run.connection.get(), pairing_request, agent_message_handler);
        const long counts_due = repeat_limit::report_every_due(monotonic_ms());
        // A request held for the reply pipe is looked at on its own time.
        const bool intake_next =
            web_pairing_state == web_pairing::idle && request_intake_due_ms() < 0;
        events = wait_for_event(run.connection.get(), intake_next ? run.request_pipe.get() : -1,
                                next_timed_step_ms(counts_due));
        if (stop_requested) {
            return;
        }
    }
}

void shutdown_failed(daemon_run &run, const char *format) {
    log_failure(LOG_WARNING, format, run.error);
    run.exit_status = 1;
}

void shut_down(daemon_run &run) {
    run.error.clear();
    (void)repeat_limit::report_every_due(monotonic_ms(), true);
    if (!pairing_window_shut_down(run.connection.get())) {
        run.exit_status = 1;
    }
    if (!agent_unregister(run.connection.get(), run.error)) {
        shutdown_failed(run, "(Quiting) Deregistering agent failed: %s");
    }
    if (call_adapter(run, "StopDiscovery")) {
        log_message(LOG_INFO, "(Quiting) Bluetooth scanning has been stop");
    } else {
        shutdown_failed(run, "(Quiting) Stopping Discovery failed: %s");
    }
    // The shared connection stays open inside libdbus; only our reference goes.
    run.connection.reset();
    run.request_pipe.reset();
}

int finish(const daemon_run &run) {
    if (run.owns_pipe) {
        remove_request_pipe();
    }
    log_message(LOG_NOTICE, "Bluetooth helper daemon has been finished");
    return run.exit_status;
}

}  // namespace

int run_daemon() {
    memset(&pairing_request, 0, sizeof pairing_request);
    bluez_set_stop_check([] { return stop_requested != 0; });
    settings_load(&daemon_settings);
    log_through_syslog_sender(log_mask_for_level(daemon_settings.sysloglev));

    daemon_run run;
    run.connection.reset(dbus_bus_get(DBUS_BUS_SYSTEM, run.error.get()));
    if (!run.connection) {
        log_message(LOG_ERR, "(Starting) Connecting to D-Bus failed: %s", run.error.text());
        run.exit_status = 1;
        return finish(run);
    }
    if (start(run)) {
        run_loop(run);
    }
    if (!run.other_daemon) {
        shut_down(run);
    }
    return finish(run);
}
