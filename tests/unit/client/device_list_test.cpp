// pairgate-pair --list: reading BlueZ's object list and the two output forms,
// on replies built here.
#include "client/device_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "object_list.h"

namespace {

device_listing listing(const std::vector<fake_object> &objects) {
    return devices_in_managed_objects(managed_objects(objects).get());
}

std::vector<std::string> addresses(const device_listing &found) {
    std::vector<std::string> out;
    for (const auto &device : found.devices) {
        out.push_back(device.address);
    }
    return out;
}

}  // namespace

TEST(DeviceList, ReadsEveryPropertyOfADevice) {
    const auto found =
        listing({adapter("hci0"),
                 device("hci0", "00:1A:7D:DA:71:13",
                        {text("Name", "Pixel"), text("Alias", "Phone"), flag("Paired", true),
                         flag("Trusted", true), flag("Connected", false), rssi(-61)})});
    ASSERT_EQ(found.result, device_listing::status::listed);
    ASSERT_EQ(found.devices.size(), 1U);
    const listed_device &phone = found.devices[0];
    EXPECT_EQ(phone.address, "00:1A:7D:DA:71:13");
    EXPECT_EQ(phone.name, "Phone") << "the Alias wins over the Name";
    EXPECT_TRUE(phone.paired);
    EXPECT_TRUE(phone.trusted);
    EXPECT_FALSE(phone.connected);
    EXPECT_EQ(phone.rssi, -61);
}

TEST(DeviceList, MissingOrMistypedPropertiesReadAsAbsent) {
    const auto found = listing({adapter("hci0"),
                                device("hci0", "00:1A:7D:DA:71:13",
                                       {text("Name", "Pixel"), text("Alias", ""),
                                        text("Paired", "yes"), text("RSSI", "-61")}),
                                {"/org/bluez/hci0/dev_x", "org.bluez.Device1", {}}});
    ASSERT_EQ(found.devices.size(), 1U) << "a device without an address is left out";
    EXPECT_EQ(found.devices[0].name, "Pixel");
    EXPECT_FALSE(found.devices[0].paired);
    EXPECT_FALSE(found.devices[0].rssi.has_value());
}

TEST(DeviceList, ListsOnlyTheDevicesOfTheFirstAdapterInTheReplysOrder) {
    const auto found = listing(
        {{"/org/bluez", "org.bluez.AgentManager1", {}},
         device("hci1", "00:00:00:00:00:01"),
         adapter("hci1"),
         adapter("hci0"),
         device("hci1", "00:00:00:00:00:03"),
         device("hci0", "00:00:00:00:00:02"),
         device("hci1", "00:00:00:00:00:04"),
         {"/org/bluez/hci1x/dev_00", "org.bluez.Device1", {text("Address", "00:00:00:00:00:05")}}});
    ASSERT_EQ(found.result, device_listing::status::listed);
    EXPECT_EQ(addresses(found), (std::vector<std::string>{"00:00:00:00:00:01", "00:00:00:00:00:03",
                                                          "00:00:00:00:00:04"}));
}

TEST(DeviceList, TellsNoAdapterFromAReplyOfAnotherShape) {
    EXPECT_EQ(listing({}).result, device_listing::status::no_adapter);
    EXPECT_EQ(listing({device("hci0", "00:00:00:00:00:01")}).result,
              device_listing::status::no_adapter);
    EXPECT_EQ(listing({adapter("hci0")}).result, device_listing::status::listed);
    message_ptr reply(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    const char *words = "not an object list";
    dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &words, DBUS_TYPE_INVALID);
    EXPECT_EQ(devices_in_managed_objects(reply.get()).result, device_listing::status::bad_reply);
}

TEST(DeviceList, JsonIsOneObjectPerDeviceWithRssiOnlyWhenKnown) {
    listed_device phone{"00:1A:7D:DA:71:13", "Phone \"A\"", true, false, true, -61};
    EXPECT_EQ(device_json_line(phone),
              R"({"event":"device","address":"00:1A:7D:DA:71:13","name":"Phone \"A\"",)"
              R"("paired":true,"trusted":false,"connected":true,"rssi":-61})");
    phone.rssi.reset();
    phone.name = "bad \xff\n";
    EXPECT_EQ(device_json_line(phone),
              R"({"event":"device","address":"00:1A:7D:DA:71:13","name":"bad \ufffd\n",)"
              R"("paired":true,"trusted":false,"connected":true})");
}

TEST(DeviceList, TableHasAHeadingAndOneAlignedLinePerDevice) {
    const std::vector<listed_device> devices = {
        {"00:1A:7D:DA:71:13", "Phone", true, true, false, -61},
        {"00:1A:7D:DA:71:14", "Tab\x1b[2Jlet", false, false, false, std::nullopt},
    };
    EXPECT_EQ(device_table(devices),
              "ADDRESS            PAIRED  TRUSTED  CONNECTED  RSSI  NAME\n"
              "00:1A:7D:DA:71:13  yes     yes      no          -61  Phone\n"
              "00:1A:7D:DA:71:14  no      no       no            -  Tab?[2Jlet\n");
    EXPECT_EQ(device_table({}), "ADDRESS            PAIRED  TRUSTED  CONNECTED  RSSI  NAME\n");
    // C1 controls (a CSI, U+009B), marks that turn the text around (U+202E,
    // U+2067) and bytes that are no UTF-8 show as ?; other characters stay.
    const std::vector<listed_device> hostile = {
        {"00:1A:7D:DA:71:15",
         "\xc2\x9b"
         "2J\xe2\x80\xae"
         "enohP\xe2\x81\xa7\xff\xc2",
         false, false, false, std::nullopt},
        {"00:1A:7D:DA:71:16", "T\xc3\xa9l\xc3\xa9phone \xe2\x82\xac \xf0\x9f\x93\xb1", false, false,
         false, std::nullopt},
    };
    EXPECT_EQ(device_table(hostile),
              "ADDRESS            PAIRED  TRUSTED  CONNECTED  RSSI  NAME\n"
              "00:1A:7D:DA:71:15  no      no       no            -  ?2J?enohP???\n"
              "00:1A:7D:DA:71:16  no      no       no            -  "
              "T\xc3\xa9l\xc3\xa9phone \xe2\x82\xac \xf0\x9f\x93\xb1\n");
}

TEST(DeviceList, EveryAdapterSaysWhetherItIsOpenForPairing) {
    const auto found = listing({{"/org/bluez/hci1",
                                 "org.bluez.Adapter1",
                                 {text("Address", "00:AA:01:01:00:01"), flag("Pairable", true),
                                  flag("Discoverable", false)}},
                                {"/org/bluez/hci0",
                                 "org.bluez.Adapter1",
                                 {flag("Discoverable", true), text("Pairable", "yes"),
                                  text("Address", "00:AA:01:00:00:00")}},
                                device("hci1", "00:00:00:00:00:01")});
    ASSERT_EQ(found.result, device_listing::status::listed);
    ASSERT_EQ(found.adapters.size(), 2U);
    EXPECT_EQ(adapter_json_line(found.adapters[0]),
              R"({"event":"adapter","adapter":"/org/bluez/hci1","address":"00:AA:01:01:00:01",)"
              R"("pairable":true,"discoverable":false})");
    EXPECT_EQ(adapter_json_line(found.adapters[1]),
              R"({"event":"adapter","adapter":"/org/bluez/hci0","address":"00:AA:01:00:00:00",)"
              R"("pairable":false,"discoverable":true})")
        << "a Pairable of another type is not taken for true";
    EXPECT_EQ(adapter_table(found.adapters),
              "ADAPTER                   ADDRESS            OPEN FOR PAIRING  DISCOVERABLE\n"
              "/org/bluez/hci1           00:AA:01:01:00:01  yes               no\n"
              "/org/bluez/hci0           00:AA:01:00:00:00  no                yes\n"
              "\n");
    EXPECT_EQ(addresses(found), (std::vector<std::string>{"00:00:00:00:00:01"}));
}
