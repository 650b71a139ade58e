// A device as BlueZ's object list describes it: the one reader of its
// org.bluez.Device1 properties, for --list and for the question whether it
// is paired.
#pragma once

#include <dbus/dbus.h>

#include <optional>
#include <string>

struct listed_device {
    std::string address;
    std::string name;  // the Alias, else the Name, else empty
    bool paired = false;
    bool trusted = false;
    bool connected = false;
    std::optional<int> rssi;  // only while BlueZ has heard the device lately
};

// The string inside a variant, when it holds one.
std::optional<std::string> variant_string(DBusMessageIter *variant);

// The device among the interfaces a{sa{sv}} of one object, if it is one.
std::optional<listed_device> device_of_object(DBusMessageIter *interfaces);
