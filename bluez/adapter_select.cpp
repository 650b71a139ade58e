// Finding the adapter among the objects BlueZ exports.
#include "bluez/adapter_select.h"

#include <cctype>
#include <cstring>

#include "bluez/device_path.h"
#include "common/managed_objects.h"
#include "common/text_copy.h"

namespace {

constexpr const char *adapter_prefix = "/org/bluez/hci";

}  // namespace

bool is_adapter_path(const char *path) {
    const size_t prefix_length = strlen(adapter_prefix);
    if (strncmp(path, adapter_prefix, prefix_length) != 0) {
        return false;
    }
    for (const char *digit = path + prefix_length; *digit != '\0'; ++digit) {
        if (!isdigit(static_cast<unsigned char>(*digit))) {
            return false;
        }
    }
    return true;
}

bool find_adapter_in_reply(DBusMessage *reply, char *out) {
    // Only the object paths count; the interfaces beside them are not looked at.
    return visit_managed_objects(reply, [out](const char *path, DBusMessageIter * /*interfaces*/) {
        if (!is_adapter_path(path)) {
            return false;
        }
        copy_cut(out, path, adapter_path_max);
        return true;
    });
}
