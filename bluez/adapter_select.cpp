// Reading BlueZ's object list at adapter selection.
#include "bluez/adapter_select.h"

#include <cstring>

#include "common/text_copy.h"

namespace {

// Whether an interfaces dictionary a{sa{sv}} shows a device paired or bonded.
bool shows_paired_device(DBusMessageIter *interfaces) {
    return visit_entries(interfaces, [](const char *name, DBusMessageIter *properties) {
        return strcmp(name, device_interface) == 0 &&
               visit_entries(properties, [](const char *property, DBusMessageIter *value) {
                   return (strcmp(property, "Paired") == 0 || strcmp(property, "Bonded") == 0) &&
                          variant_is_true(value);
               });
    });
}

}  // namespace

object_list_read read_object_list(DBusMessage *reply) {
    object_list_read objects;
    visit_managed_objects(reply, [&objects](const char *path, DBusMessageIter *interfaces) {
        if (!is_adapter_path(path)) {
            if (shows_paired_device(interfaces)) {
                objects.paired_devices.emplace_back(path);
            }
        } else if (objects.adapter[0] != '\0') {
            objects.other_adapters.emplace_back(path);
        } else {
            copy_cut(objects.adapter, path, adapter_path_max);
        }
        return false;
    });
    return objects;
}
