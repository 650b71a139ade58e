// Start-up, main loop and shutdown of the daemon, in their fixed order.
#include "daemon/lifecycle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "agent/agent_message_handler.h"
#include "bluez/bluez_calls.h"
#include "daemon/adapter_select.h"
#include "daemon/log_mask.h"
#include "daemon/pairable_control.h"
#include "daemon/process_state.h"
#include "settings/settings.h"
#include "webui/named_pipe.h"
#include "webui/pipe_names.h"
#include "webui/request_intake.h"

namespace {

constexpr const char *match_rules[] = {
    "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
    "sender='org.bluez'",
    "type='method_return'",
    "type='error'",
};

// Static so that the never-freed texts of the record stay reachable.
settings daemon_settings;

// What the entry point holds for the whole run.
struct daemon_run {
    error_guard error;  // shared by every BlueZ call of start-up, loop and shutdown
    DBusConnection *connection = nullptr;
    int request_fd = -1;
    int exit_status = 0;
    input_reader reader = nullptr;
};

void on_stop_signal(int /*signal*/) {
    stop_requested = 1;
}

bool start_failed(daemon_run &run, const char *format, const char *detail) {
    syslog(LOG_ERR, format, detail);
    run.exit_status = 1;
    return false;
}

bool call_adapter(daemon_run &run, const char *method) {
    message_ptr call = bluez_method_call(adapter_path, adapter_interface, method, run.error.get());
    return call && bluez_call(run.connection, std::move(call), run.error.get());
}

bool add_match_rules(daemon_run &run) {
    for (const char *rule : match_rules) {
        dbus_bus_add_match(run.connection, rule, run.error.get());
        if (run.error) {
            return start_failed(run, "(Starting) Adding D-Bus match rule failed: %s",
                                error_text(run.error.get()));
        }
    }
    return true;
}

bool find_adapter(daemon_run &run) {
    if (select_adapter(run.connection, run.error.get())) {
        return true;
    }
    return start_failed(run, "(Starting) No hci interface on DBus found: %s",
                        run.error ? error_text(run.error.get()) : "no adapter is present");
}

bool start_discovery(daemon_run &run) {
    if (!call_adapter(run, "StartDiscovery")) {
        return start_failed(run, "(Starting) Enabling Discovery failed: %s",
                            error_text(run.error.get()));
    }
    syslog(LOG_INFO, "(Starting) Bluetooth scanning has been started on %s", adapter_path);
    run.reader = select_input_reader(daemon_settings.pairable_bin);
    input_set_cancel_flag(&stop_requested);
    return true;
}

bool set_up_request_pipe(daemon_run &run) {
    // A pipe left by an earlier run is used as it is.
    if (mkfifo(request_pipe_path, 0600) != 0 && errno != EEXIST) {
        syslog(LOG_ERR, "(Starting) Creating input FIFO (%s) failed: %s", request_pipe_path,
               strerror(errno));
        run.exit_status = 1;
        return false;
    }
    const char *reason = nullptr;
    run.request_fd = open_named_pipe(request_pipe_path, O_RDONLY | O_NONBLOCK, &reason);
    if (run.request_fd < 0) {
        syslog(LOG_ERR, "(Starting) Opening input FIFO (%s) failed: %s", request_pipe_path, reason);
        run.exit_status = 1;
        return false;
    }
    return true;
}

bool set_up_agent(daemon_run &run) {
    if (!dbus_connection_add_filter(run.connection, agent_message_handler, &pairing_request,
                                    nullptr)) {
        return start_failed(run, "(Starting) Adding D-Bus filter failed: %s", "out of memory");
    }
    if (!agent_register(run.connection, run.error.get(), "NoInputNoOutput", nullptr)) {
        return start_failed(run, "(Starting) Registering agent failed: %s",
                            error_text(run.error.get()));
    }
    return true;
}

// Start-up from the adapter search on; false when a step failed.
bool start(daemon_run &run) {
    if (!find_adapter(run) || !start_discovery(run) || !set_up_request_pipe(run) ||
        !add_match_rules(run) || !set_up_agent(run)) {
        return false;
    }
    (void)signal(SIGINT, on_stop_signal);
    (void)signal(SIGTERM, on_stop_signal);
    syslog(LOG_NOTICE, "Bluetooth helper daemon has been started");
    return true;
}

void run_loop(daemon_run &run) {
    for (;;) {
        pairable_control_step(run.connection, run.error.get(), &daemon_settings, run.reader);
        if (web_pairing_state == 0 &&
            request_intake(run.connection, run.error.get(), run.request_fd, &run.exit_status,
                           &pairing_request)) {
            return;
        }
        // Handles at most one queued message; waits up to 1 ms only when idle.
        if (!dbus_connection_read_write_dispatch(run.connection, 1)) {
            return;
        }
        if (stop_requested) {
            return;
        }
    }
}

void shutdown_failed(daemon_run &run, const char *format) {
    syslog(LOG_WARNING, format, error_text(run.error.get()));
    run.exit_status = 1;
    dbus_error_free(run.error.get());
}

void shut_down(daemon_run &run) {
    dbus_error_free(run.error.get());
    if (pairable_state != 0) {
        if (!bluez_set_bool(run.connection, run.error.get(), adapter_path, adapter_interface,
                            "Pairable", false)) {
            shutdown_failed(run, "(Quiting) Disabling Pairable failed: %s");
        }
        syslog(LOG_INFO, "(Quiting) Bluetooth automatic paring by BIN has been disabled");
    }
    if (!agent_unregister(run.connection, run.error.get())) {
        shutdown_failed(run, "(Quiting) Deregistering agent failed: %s");
    }
    if (call_adapter(run, "StopDiscovery")) {
        syslog(LOG_INFO, "(Quiting) Bluetooth scanning has been stop");
    } else {
        shutdown_failed(run, "(Quiting) Stopping Discovery failed: %s");
    }
    // The shared connection stays open inside libdbus; only our reference goes.
    dbus_connection_unref(run.connection);
    run.connection = nullptr;
    if (run.request_fd >= 0) {
        close(run.request_fd);
        run.request_fd = -1;
    }
}

int finish(const daemon_run &run) {
    unlink(request_pipe_path);
    syslog(LOG_NOTICE, "Bluetooth helper daemon has been finished");
    return run.exit_status;
}

}  // namespace

int run_daemon() {
    memset(&pairing_request, 0, sizeof pairing_request);
    settings_load(&daemon_settings);
    setlogmask(log_mask_for_level(daemon_settings.sysloglev));

    daemon_run run;
    run.connection = dbus_bus_get(DBUS_BUS_SYSTEM, run.error.get());
    if (run.connection == nullptr) {
        syslog(LOG_ERR, "(Starting) Connecting to D-Bus failed: %s", error_text(run.error.get()));
        run.exit_status = 1;
        return finish(run);
    }
    if (start(run)) {
        run_loop(run);
    }
    shut_down(run);
    return finish(run);
}
