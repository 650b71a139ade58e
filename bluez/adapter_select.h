// Which of the objects BlueZ exports is the adapter the daemon works on. The
// rule itself (is_adapter_path, first_adapter_in_reply) is in
// common/managed_objects.h: pairgate-pair lists the devices of the same adapter.
#pragma once

#include <dbus/dbus.h>

#include "common/managed_objects.h"

// Copies the first adapter path of a GetManagedObjects reply
// (first_adapter_in_reply), cut to adapter_path_max characters, into out.
// False when the reply holds none, or is not shaped a{oa{sa{sv}}}.
bool find_adapter_in_reply(DBusMessage *reply, char *out);
