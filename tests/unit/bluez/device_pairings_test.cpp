// The table of when each device's pairing began: no more than it holds.
#include "bluez/device_pairings.h"

#include <gtest/gtest.h>

#include <string>

#include "bluez/bluez_link.h"

TEST(DevicePairings, FullTableRecordsNoMoreAndForgetsWithTheAdapter) {
    adopt_adapter("/org/bluez/hci0");
    const auto device = [](std::size_t n) { return "/org/bluez/hci0/dev_" + std::to_string(n); };
    for (std::size_t n = 0; n < device_pairings_max; ++n) {
        ASSERT_TRUE(note_device_pairing(device(n).c_str(), pairing_began::window_open));
    }
    EXPECT_FALSE(note_device_pairing(device(device_pairings_max).c_str(), pairing_began::before));
    EXPECT_EQ(device_pairing(device(device_pairings_max).c_str()), pairing_began::unseen);
    EXPECT_TRUE(note_device_pairing(device(0).c_str(), pairing_began::before));  // in place
    forget_adapter();
    EXPECT_EQ(device_pairing(device(0).c_str()), pairing_began::unseen);
}
