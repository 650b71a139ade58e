// pairgate-pair --list: the devices BlueZ knows under the first adapter of its
// list (the daemon's start-up rule; the daemon may work on another after
// adapters have come and gone), for a person (a table) or for the web page's CGI (JSON lines).
#pragma once

#include <dbus/dbus.h>

#include <optional>
#include <string>
#include <vector>

#include "client/device_properties.h"

// An adapter, and whether it is open for pairing now, as BlueZ reports it.
struct listed_adapter {
    std::string path;
    std::string address;
    bool pairable = false;
    bool discoverable = false;
};

// What a GetManagedObjects reply holds: every adapter, and the devices below
// the first one (the daemon's rule), in the reply's order; devices without an
// address are left out.
struct device_listing {
    enum class status { listed, no_adapter, bad_reply } result = status::bad_reply;
    std::vector<listed_adapter> adapters;
    std::vector<listed_device> devices;
};

device_listing devices_in_managed_objects(DBusMessage *reply);

// One JSON object for the device, without the line end.
std::string device_json_line(const listed_device &device);

// One JSON object for the adapter, without the line end.
std::string adapter_json_line(const listed_adapter &adapter);

// The table a person reads: a heading, then one line per device; every line
// ends with a line feed.
std::string device_table(const std::vector<listed_device> &devices);

// The same for the adapters, followed by an empty line.
std::string adapter_table(const std::vector<listed_adapter> &adapters);

// Asks BlueZ once, through a private connection to the system bus, and
// prints the list (or the error) in the chosen form. `timeout_ms` bounds the
// wait for BlueZ's answer. False when there was no list to print: the bus or
// BlueZ unreachable, no adapter (a local error for the exit status).
bool list_devices(bool json, int timeout_ms);
