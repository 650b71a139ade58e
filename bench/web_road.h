// The web UI's pairing road through pairgated's two named pipes, timed.
#pragma once

#include <dbus/dbus.h>

#include <memory>
#include <random>
#include <string>

#include "bench/agent_run.h"
#include "bench/bluez_standin.h"

namespace bench {

class reply_reader;

// The web side of one daemon, whose /var/tmp is PIPE_DIR.
class web_road {
  public:
    explicit web_road(std::string pipe_dir);
    ~web_road();
    web_road(const web_road &) = delete;
    web_road &operator=(const web_road &) = delete;

    // One pairing, with or without a RequestConfirmation in Pair, after a
    // pause drawn from RANDOM; false once the road cannot go on (the
    // problem is in times()).
    bool pair_once(DBusConnection *connection, bluez_standin &standin, bool confirmation,
                   std::mt19937 &random);

    // The times with and without a RequestConfirmation.
    road_times &times(bool confirmation) { return confirmation ? confirmed_ : unconfirmed_; }

  private:
    bool run_road(DBusConnection *connection, bluez_standin &standin, road_times *times);

    std::string pipe_dir_;
    std::unique_ptr<reply_reader> reply_;
    road_times confirmed_;
    road_times unconfirmed_;
};

}  // namespace bench
