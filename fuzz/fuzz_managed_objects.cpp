// The readers of BlueZ's object list, a{oa{sa{sv}}}: adapter selection, the
// client's question whether a device is paired, and its device list. The input is a whole D-Bus
// message in its wire form; only what libdbus accepts as a message is read.
#include <dbus/dbus.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bluez/adapter_select.h"
#include "bluez/device_path.h"
#include "client/bluez_lookup.h"
#include "client/device_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    DBusMessage *message = dbus_message_demarshal(reinterpret_cast<const char *>(data),
                                                  static_cast<int>(size), nullptr);
    if (message == nullptr) {
        return 0;
    }
    const object_list_read objects = read_object_list(message);
    const bool found = objects.adapter[0] != '\0';
    if (found &&
        (strlen(objects.adapter) > adapter_path_max || !is_adapter_path(objects.adapter))) {
        abort();
    }
    (void)pairing_in_managed_objects(message, "00:1A:7D:DA:71:13");
    (void)pairing_in_managed_objects(message, "00:1a:7d:da:71:13");
    // The list is read below the adapter the daemon would select, or not at all.
    const device_listing listing = devices_in_managed_objects(message);
    if ((listing.result == device_listing::status::listed) != found) {
        abort();
    }
    for (const listed_device &device : listing.devices) {
        (void)device_json_line(device);
    }
    (void)device_table(listing.devices);
    dbus_message_unref(message);
    return 0;
}
