// Address and device path conversions. Input: an adapter path, a zero byte,
// an address (without the zero byte the whole input is both). An address
// without underscores must come back unchanged from the path made of it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bluez/device_path.h"

namespace {

void check_round_trip(const std::string &address) {
    if (address.size() > 17 || address.find('_') != std::string::npos) {
        return;
    }
    const char *path = device_path_from_address("/org/bluez/hci0", address.c_str());
    const char *back = address_from_device_path(path);
    if (back == nullptr || address != back) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t zero = input.find('\0');
    const std::string adapter = input.substr(0, zero);
    const std::string address = zero == std::string::npos ? input : input.substr(zero + 1);

    const char *path = device_path_from_address(adapter.c_str(), address.c_str());
    if (path == nullptr || strlen(path) > adapter_path_max + 5 + 17) {
        abort();
    }
    const char *from_path = address_from_device_path(adapter.c_str());
    if (from_path != nullptr && strlen(from_path) > 17) {
        abort();
    }
    check_round_trip(address.c_str());
    return 0;
}
