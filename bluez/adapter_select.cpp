// Finding the adapter among the objects BlueZ exports.
#include "bluez/adapter_select.h"

#include "bluez/device_path.h"
#include "common/text_copy.h"

bool find_adapter_in_reply(DBusMessage *reply, char *out) {
    const char *path = first_adapter_in_reply(reply);
    if (path == nullptr) {
        return false;
    }
    copy_cut(out, path, adapter_path_max);
    return true;
}
