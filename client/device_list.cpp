// pairgate-pair --list: the devices BlueZ knows under the daemon's adapter.
#include "client/device_list.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "client/bluez_lookup.h"
#include "client/client_output.h"
#include "client/device_properties.h"
#include "common/managed_objects.h"

namespace {

// The code point of a valid UTF-8 sequence of `length` bytes.
char32_t code_point(std::string_view sequence, std::size_t length) {
    static constexpr unsigned char lead_bits[] = {0x7F, 0x1F, 0x0F, 0x07};
    char32_t code = static_cast<unsigned char>(sequence[0]) & lead_bits[length - 1];
    for (std::size_t i = 1; i < length; ++i) {
        code = (code << 6) | (static_cast<unsigned char>(sequence[i]) & 0x3F);
    }
    return code;
}

// C0 and C1 controls, DEL, and the marks that reverse or reorder the text
// after them (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069).
bool is_control(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x61C || code == 0x200E ||
           code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

// The adapter among the interfaces of one object, if it is one.
std::optional<listed_adapter> adapter_of_object(const char *path, DBusMessageIter *interfaces) {
    std::optional<listed_adapter> found;
    visit_entries(interfaces, [&](const char *interface, DBusMessageIter *properties) {
        if (std::strcmp(interface, adapter_interface) != 0) {
            return false;
        }
        listed_adapter adapter{path, "", false, false};
        visit_entries(properties, [&adapter](const char *name, DBusMessageIter *value) {
            if (std::strcmp(name, "Address") == 0) {
                adapter.address = variant_string(value).value_or("");
            } else if (std::strcmp(name, "Pairable") == 0) {
                adapter.pairable = variant_is_true(value);
            } else if (std::strcmp(name, "Discoverable") == 0) {
                adapter.discoverable = variant_is_true(value);
            }
            return false;
        });
        found = adapter;
        return true;
    });
    return found;
}

// BlueZ's names come from the devices themselves: nothing in them may move
// the cursor of the terminal that shows the table, or turn what follows
// around. A byte that is not UTF-8 is shown as `?` too.
std::string printable(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        const std::size_t length = byte < 0x80 ? 1 : utf8_sequence_length(text);
        if (length == 0 || is_control(code_point(text, length))) {
            out += '?';
            text.remove_prefix(length == 0 ? 1 : length);
            continue;
        }
        out.append(text.substr(0, length));
        text.remove_prefix(length);
    }
    return out;
}

const char *yes_no(bool flag) {
    return flag ? "yes" : "no";
}

std::string table_line(const char *address, const char *paired, const char *trusted,
                       const char *connected, const char *rssi, const std::string &name) {
    char line[96];
    std::snprintf(line, sizeof line, "%-17s  %-6s  %-7s  %-9s  %4s  ", address, paired, trusted,
                  connected, rssi);
    return line + name + "\n";
}

void print(const std::string &text) {
    // Nothing useful is left to do when the caller stopped reading.
    static_cast<void>(std::fwrite(text.data(), 1, text.size(), stdout));
    static_cast<void>(std::fflush(stdout));
}

std::optional<run_failure> ask_bluez(int timeout_ms, message_ptr &reply) {
    private_connection_ptr connection;
    if (auto failure = connect_private_bus(connection)) {
        return failure;
    }
    return ask_managed_objects(connection.get(), timeout_ms, "the device list", reply);
}

bool list_failure(bool json, const std::string &message) {
    printing_sink(json).report({event_kind::error, message});
    return false;
}

}  // namespace

device_listing devices_in_managed_objects(DBusMessage *reply) {
    device_listing listing;
    const char *adapter = first_adapter_in_reply(reply);
    if (adapter == nullptr) {
        listing.result = is_managed_objects_reply(reply) ? device_listing::status::no_adapter
                                                         : device_listing::status::bad_reply;
        return listing;
    }
    listing.result = device_listing::status::listed;
    const std::string below = std::string(adapter) + "/";
    visit_managed_objects(reply, [&](const char *path, DBusMessageIter *interfaces) {
        if (is_adapter_path(path)) {
            if (auto found = adapter_of_object(path, interfaces)) {
                listing.adapters.push_back(std::move(*found));
            }
            return false;
        }
        if (std::strncmp(path, below.c_str(), below.size()) != 0) {
            return false;
        }
        auto device = device_of_object(interfaces);
        if (device && !device->address.empty()) {
            listing.devices.push_back(std::move(*device));
        }
        return false;
    });
    return listing;
}

std::string device_json_line(const listed_device &device) {
    json_object line;
    line.text("event", "device")
        .text("address", device.address)
        .text("name", device.name)
        .flag("paired", device.paired)
        .flag("trusted", device.trusted)
        .flag("connected", device.connected);
    if (device.rssi) {
        line.number("rssi", *device.rssi);
    }
    return line.str();
}

std::string adapter_json_line(const listed_adapter &adapter) {
    json_object line;
    line.text("event", "adapter")
        .text("adapter", adapter.path)
        .text("address", adapter.address)
        .flag("pairable", adapter.pairable)
        .flag("discoverable", adapter.discoverable);
    return line.str();
}

std::string adapter_table(const std::vector<listed_adapter> &adapters) {
    char line[128];
    std::snprintf(line, sizeof line, "%-24s  %-17s  %-16s  %s\n", "ADAPTER", "ADDRESS",
                  "OPEN FOR PAIRING", "DISCOVERABLE");
    std::string table = line;
    for (const listed_adapter &adapter : adapters) {
        std::snprintf(line, sizeof line, "%-24s  %-17s  %-16s  %s\n",
                      printable(adapter.path).c_str(), printable(adapter.address).c_str(),
                      yes_no(adapter.pairable), yes_no(adapter.discoverable));
        table += line;
    }
    return table + "\n";
}

std::string device_table(const std::vector<listed_device> &devices) {
    std::string table = table_line("ADDRESS", "PAIRED", "TRUSTED", "CONNECTED", "RSSI", "NAME");
    for (const listed_device &device : devices) {
        const std::string rssi = device.rssi ? std::to_string(*device.rssi) : "-";
        table += table_line(printable(device.address).c_str(), yes_no(device.paired),
                            yes_no(device.trusted), yes_no(device.connected), rssi.c_str(),
                            printable(device.name));
    }
    return table;
}

bool list_devices(bool json, int timeout_ms) {
    message_ptr reply;
    if (const auto failure = ask_bluez(timeout_ms, reply)) {
        return list_failure(json, failure->message);
    }
    const device_listing listing = devices_in_managed_objects(reply.get());
    if (listing.result == device_listing::status::no_adapter) {
        return list_failure(json, "BlueZ has no adapter");
    }
    if (listing.result == device_listing::status::bad_reply) {
        return list_failure(json, "unexpected answer from BlueZ to GetManagedObjects");
    }
    if (!json) {
        print(adapter_table(listing.adapters) + device_table(listing.devices));
        return true;
    }
    for (const listed_adapter &adapter : listing.adapters) {
        print(adapter_json_line(adapter) + "\n");
    }
    for (const listed_device &device : listing.devices) {
        print(device_json_line(device) + "\n");
    }
    return true;
}
