// What adapter selection reads of the objects BlueZ exports, in one walk of
// its GetManagedObjects reply. The rule for the adapter itself
// (is_adapter_path, the first in reply order) is common/managed_objects.h's:
// pairgate-pair lists the devices of the same adapter.
#pragma once

#include <dbus/dbus.h>

#include <string>
#include <vector>

#include "bluez/device_path.h"
#include "common/managed_objects.h"

using object_paths = std::vector<std::string>;

struct object_list_read {
    // The first adapter path in reply order, cut to adapter_path_max
    // characters; empty when the reply holds none, or is not shaped
    // a{oa{sa{sv}}}.
    char adapter[adapter_path_max + 1] = "";
    object_paths other_adapters;  // every later adapter path
    object_paths paired_devices;  // objects whose Device1 shows Paired or Bonded true
};

object_list_read read_object_list(DBusMessage *reply);
