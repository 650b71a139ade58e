// The table of when each device's pairing began.
#include "bluez/device_pairings.h"

#include <cstring>

#include "bluez/bluez_link.h"
#include "common/managed_objects.h"
#include "common/text_copy.h"

namespace {

// /org/bluez/hciN/dev_XX_XX_XX_XX_XX_XX with room to spare.
constexpr std::size_t device_path_max = 47;

struct device_entry {
    char path[device_path_max + 1] = "";  // empty: a free entry
    pairing_began state = pairing_began::unseen;
};
device_entry table[device_pairings_max];

device_entry *entry_of(const char *device) {
    for (device_entry &entry : table) {
        if (entry.path[0] != '\0' && strcmp(entry.path, device) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

pairing_began device_pairing(const char *device) {
    const device_entry *entry = entry_of(device);
    return entry != nullptr ? entry->state : pairing_began::unseen;
}

bool note_device_pairing(const char *device, pairing_began state) {
    if (!on_selected_adapter(device) || strlen(device) > device_path_max) {
        return false;
    }
    device_entry *entry = entry_of(device);
    for (std::size_t i = 0; entry == nullptr && i < device_pairings_max; ++i) {
        if (table[i].path[0] == '\0') {
            entry = &table[i];
        }
    }
    if (entry == nullptr) {
        return false;
    }
    copy_cut(entry->path, device);
    entry->state = state;
    return true;
}

void forget_device_pairing(const char *device) {
    device_entry *entry = entry_of(device);
    if (entry != nullptr) {
        *entry = device_entry{};
    }
}

void forget_device_pairings() {
    for (device_entry &entry : table) {
        entry = device_entry{};
    }
}

void device_pairings_removed(DBusMessage *message) {
    DBusMessageIter args;
    if (!dbus_message_has_signature(message, "oas") || !dbus_message_iter_init(message, &args)) {
        return;
    }
    const char *path = nullptr;
    dbus_message_iter_get_basic(&args, &path);
    dbus_message_iter_next(&args);
    if (visit_strings(&args,
                      [](const char *name) { return strcmp(name, device_interface) == 0; })) {
        forget_device_pairing(path);
    }
}
