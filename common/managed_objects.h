// BlueZ's object list - the GetManagedObjects call and the one reader of its
// reply, a{oa{sa{sv}}} - and the small readers of the containers inside it
// and inside BlueZ's signals. The daemon and pairgate-pair share them: every
// dictionary, array of strings and boolean variant either program reads is
// read here, on a container whose signature the caller has checked. The
// plain arguments around them are read where they are checked.
#pragma once

#include <dbus/dbus.h>

#include "common/bluez_names.h"
#include "common/dbus_handles.h"

// GetManagedObjects on BlueZ's object manager; null when memory ran out (the
// record then says so).
message_ptr managed_objects_call(error_guard &error);

// Whether reply has the shape of a GetManagedObjects answer, a{oa{sa{sv}}}.
bool is_managed_objects_reply(DBusMessage *reply);

// Visits the {key, value} entries of a dictionary (an array of dictionary
// entries whose keys are strings or object paths) in order, calling
// visit(const char *key, DBusMessageIter *value) until it returns true.
// Returns whether it did.
template <typename Visit>
bool visit_entries(DBusMessageIter *dictionary, Visit visit) {
    DBusMessageIter entries;
    dbus_message_iter_recurse(dictionary, &entries);
    while (dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY) {
        DBusMessageIter entry;
        const char *key = nullptr;
        dbus_message_iter_recurse(&entries, &entry);
        dbus_message_iter_get_basic(&entry, &key);
        dbus_message_iter_next(&entry);
        if (visit(key, &entry)) {
            return true;
        }
        dbus_message_iter_next(&entries);
    }
    return false;
}

// Visits each object of a GetManagedObjects reply - its path and its
// interfaces dictionary a{sa{sv}} - as visit_entries does. The signature is
// checked first, so that no read below can meet another type; a reply of any
// other shape visits nothing.
template <typename Visit>
bool visit_managed_objects(DBusMessage *reply, Visit visit) {
    DBusMessageIter objects;
    if (!is_managed_objects_reply(reply) || !dbus_message_iter_init(reply, &objects)) {
        return false;
    }
    return visit_entries(&objects, visit);
}

// Visits each string of an array of strings (as), in order, calling
// visit(const char *text) until it returns true. Returns whether it did.
template <typename Visit>
bool visit_strings(DBusMessageIter *array, Visit visit) {
    DBusMessageIter item;
    dbus_message_iter_recurse(array, &item);
    while (dbus_message_iter_get_arg_type(&item) == DBUS_TYPE_STRING) {
        const char *text = nullptr;
        dbus_message_iter_get_basic(&item, &text);
        if (visit(text)) {
            return true;
        }
        dbus_message_iter_next(&item);
    }
    return false;
}

// The changed properties a{sv} of a PropertiesChanged signal's arguments
// (s interface, a{sv} changed, as invalidated) for interface, in *changed;
// false for another interface or shape. The invalidated ones are not looked at.
bool properties_changed_of(DBusMessage *message, const char *interface, DBusMessageIter *changed);

// Reads the boolean inside a variant into value; false (value untouched)
// when the variant holds another type.
bool variant_bool(DBusMessageIter *variant, bool *value);

// The boolean inside a variant, or false when the variant holds another type.
bool variant_is_true(DBusMessageIter *variant);

// "/org/bluez/hci" followed by nothing but decimal digits (possibly none).
bool is_adapter_path(const char *path);

// The adapter the daemon works on: the first object path of the reply that
// is_adapter_path accepts, pointing into the reply. Null when the reply holds
// none or has another shape.
const char *first_adapter_in_reply(DBusMessage *reply);
