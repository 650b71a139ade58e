// Device addresses and object paths, both ways.
#include "bluez/device_path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

char adapter[adapter_path_max + 1];

void use_adapter(const char *path) {
    (void)snprintf(adapter, sizeof adapter, "%s", path);
}

TEST(DevicePath, RoundTrip) {
    use_adapter("/org/bluez/hci0");
    EXPECT_STREQ(address_from_device_path("/org/bluez/hci0/dev_00_1A_7D_DA_71_13"),
                 "00:1A:7D:DA:71:13");
    EXPECT_STREQ(device_path_from_address(adapter, "00:1A:7D:DA:71:13"),
                 "/org/bluez/hci0/dev_00_1A_7D_DA_71_13");
}

TEST(DevicePath, LetterCaseIsKept) {
    use_adapter("/org/bluez/hci0");
    EXPECT_STREQ(device_path_from_address(adapter, "aa:bb:cc:dd:ee:ff"),
                 "/org/bluez/hci0/dev_aa_bb_cc_dd_ee_ff");
    EXPECT_STREQ(address_from_device_path("/org/bluez/hci0/dev_aa_bb_cc_dd_ee_ff"),
                 "aa:bb:cc:dd:ee:ff");
}

TEST(DevicePath, AddressNeedsAnUnderscore) {
    EXPECT_EQ(address_from_device_path(nullptr), nullptr);
    EXPECT_EQ(address_from_device_path("/org/bluez/hci0"), nullptr);
    EXPECT_STREQ(address_from_device_path("/_"), "");
}

TEST(DevicePath, AddressIsCutAt17Characters) {
    EXPECT_STREQ(address_from_device_path("/org/bluez/hci0/dev_00_1A_7D_DA_71_13_99/x"),
                 "00:1A:7D:DA:71:13");
    // The first underscore of the whole path counts, even in the adapter's name.
    EXPECT_STREQ(address_from_device_path("/org/bluez/hci_x/dev_00_1A"), "x/dev:00:1A");
}

TEST(DevicePath, PathTakesOnly17AddressCharacters) {
    use_adapter("/org/bluez/hci0");
    EXPECT_EQ(device_path_from_address(adapter, nullptr), nullptr);
    EXPECT_STREQ(device_path_from_address(adapter, "00:1A:7D:DA:71:13:EXTRA"),
                 "/org/bluez/hci0/dev_00_1A_7D_DA_71_13");
    EXPECT_STREQ(device_path_from_address(adapter, ""), "/org/bluez/hci0/dev_");
}

TEST(DevicePath, LongestAdapterFits) {
    use_adapter("/org/bluez/hci0123456789");  // 24 characters
    EXPECT_STREQ(device_path_from_address(adapter, "00:1A:7D:DA:71:13"),
                 "/org/bluez/hci0123456789/dev_00_1A_7D_DA_71_13");
}

TEST(DevicePath, ColonsAnywhereBecomeUnderscores) {
    use_adapter("/org/bluez/hci:0");
    EXPECT_STREQ(device_path_from_address(adapter, "ab"), "/org/bluez/hci_0/dev_ab");
}

TEST(DevicePath, ResultIsReusedByTheNextCall) {
    use_adapter("/org/bluez/hci0");
    const char *first = device_path_from_address(adapter, "00:00:00:00:00:01");
    const std::string copy = first;
    const char *second = device_path_from_address(adapter, "00:00:00:00:00:02");
    EXPECT_EQ(first, second);
    EXPECT_NE(copy, second);
}

}  // namespace
