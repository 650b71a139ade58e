// BlueZ's object list (a GetManagedObjects reply, a{oa{sa{sv}}}) and its
// InterfacesAdded and InterfacesRemoved signals, built for the tests of their
// readers in the daemon and in pairgate-pair: objects of one interface each
// (or none), with properties of a few types. The one builder of them.
#pragma once

#include <string>
#include <vector>

#include "common/dbus_handles.h"

// One property: a string, a boolean, a 16-bit or an unsigned 32-bit number,
// by its D-Bus type.
struct fake_property {
    std::string name;
    int type;
    std::string text;
    long number = 0;
};

struct fake_object {
    std::string path;
    std::string interface;  // empty: the object has no interface at all
    std::vector<fake_property> properties;
};

fake_property text(const std::string &name, const std::string &value);
fake_property flag(const std::string &name, bool value);
fake_property rssi(int value);
fake_property device_class(unsigned value);

// /org/bluez/NAME with org.bluez.Adapter1 and an Address.
fake_object adapter(const std::string &name);

// The device ADDRESS under ADAPTER (its path as BlueZ makes it), with
// org.bluez.Device1, its Address first and then MORE.
fake_object device(const std::string &adapter, const std::string &address,
                   std::vector<fake_property> more = {});

message_ptr managed_objects(const std::vector<fake_object> &objects);

// BlueZ's signals of an object's interfaces coming (o a{sa{sv}}) and going
// (o as), from the object manager at "/"; the sender is the caller's to set.
message_ptr interfaces_added(const fake_object &object);
message_ptr interfaces_removed(const fake_object &object);
