// Device addresses (00:1A:7D:DA:71:13) and BlueZ device object paths
// (/org/bluez/hci0/dev_00_1A_7D_DA_71_13), one into the other. Both return a
// static buffer that the next call of the same function overwrites.
#pragma once

#include <cstddef>

// Characters kept of an adapter's object path.
inline constexpr std::size_t adapter_path_max = 24;

// The address after the path's first underscore, colons for underscores; null
// when path is null or has no underscore.
const char *address_from_device_path(const char *path);

// The first adapter_path_max characters of adapter + "/dev_" + the first 17
// characters of address, underscores for colons; null when address is null.
// Not checked for validity.
const char *device_path_from_address(const char *adapter, const char *address);
