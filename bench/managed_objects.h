// The stand-in's answer to GetManagedObjects: its adapter and its device.
#pragma once

#include <dbus/dbus.h>

#include "bench/bus.h"

namespace bench {

// The answer to CALL; null when out of memory.
message_ptr managed_objects_reply(DBusMessage *call);

}  // namespace bench
