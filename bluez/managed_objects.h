// BlueZ's object list: the GetManagedObjects call and the one reader of its
// reply, a{oa{sa{sv}}}, that adapter selection and pairgate-pair share.
#pragma once

#include <dbus/dbus.h>

#include <functional>

#include "bluez/bluez_names.h"
#include "bluez/dbus_handles.h"

// GetManagedObjects on BlueZ's object manager; null when memory ran out.
message_ptr managed_objects_call();

// Visits the {key, value} entries of a dictionary (an array of dictionary
// entries whose keys are strings or object paths), in order, until visit
// returns true. Returns whether it did.
using entry_visitor = std::function<bool(const char *key, DBusMessageIter *value)>;
bool visit_entries(DBusMessageIter *dictionary, const entry_visitor &visit);

// Whether reply has the shape of a GetManagedObjects answer, a{oa{sa{sv}}}.
bool is_managed_objects_reply(DBusMessage *reply);

// Visits each object of a GetManagedObjects reply - its path and its
// interfaces dictionary a{sa{sv}} - until visit returns true. The signature is
// checked first, so that no read below can meet another type; a reply of any
// other shape visits nothing. Returns whether a visit returned true.
bool visit_managed_objects(DBusMessage *reply, const entry_visitor &visit);

// The boolean inside a variant, or false when the variant holds another type.
bool variant_is_true(DBusMessageIter *variant);
