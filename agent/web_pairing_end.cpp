// Swapping the agent back after a web-requested pairing.
#include "agent/web_pairing_end.h"

#include <syslog.h>

#include "bluez/bluez_calls.h"
#include "daemon/process_state.h"

void end_web_pairing(DBusConnection *connection) {
    error_guard error;
    if (!agent_unregister(connection, error.get())) {
        syslog(LOG_ERR, "Deregistering agent failed: %s", error_text(error.get()));
        dbus_error_free(error.get());
    }
    if (!agent_register(connection, error.get(), "NoInputNoOutput", nullptr)) {
        syslog(LOG_ERR, "Registering agent failed: %s", error_text(error.get()));
    }
    web_pairing_state = 0;
}
