// Conversions between device addresses and BlueZ device object paths.
#include "bluez/device_path.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/text_copy.h"

namespace {

constexpr std::size_t address_length = 17;
constexpr const char *device_infix = "/dev_";

char address_buffer[address_length + 1];
// The longest path: a full adapter path, the infix and a full address.
char path_buffer[adapter_path_max + 5 + address_length + 1];

}  // namespace

const char *address_from_device_path(const char *path) {
    if (path == nullptr) {
        return nullptr;
    }
    const char *underscore = strchr(path, '_');
    if (underscore == nullptr) {
        return nullptr;
    }
    copy_cut(address_buffer, underscore + 1);
    std::replace(address_buffer, address_buffer + address_length, '_', ':');
    return address_buffer;
}

const char *device_path_from_address(const char *adapter, const char *address) {
    if (address == nullptr) {
        return nullptr;
    }
    // At most the whole adapter path and the first 17 address characters.
    (void)snprintf(path_buffer, sizeof path_buffer, "%.*s%s%.*s",
                   static_cast<int>(adapter_path_max), adapter, device_infix,
                   static_cast<int>(address_length), address);
    std::replace(path_buffer, path_buffer + strlen(path_buffer), ':', '_');
    return path_buffer;
}
