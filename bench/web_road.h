// The web UI's pairing road through pairgated's two named pipes, timed.
#pragma once

#include <dbus/dbus.h>

#include <string>

#include "bench/agent_run.h"
#include "bench/bluez_standin.h"

namespace bench {

// Runs PAIRINGS web pairings on the daemon whose /var/tmp is PIPE_DIR, with
// or without a RequestConfirmation in Pair.
road_times time_web_road(DBusConnection *connection, bluez_standin &standin,
                         const std::string &pipe_dir, bool confirmation, unsigned pairings);

}  // namespace bench
