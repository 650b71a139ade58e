// Reading a device's pairing from BlueZ's object list, on replies built here.
#include "client/bluez_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "object_list.h"

namespace {

// Every object carries a Class the readers must pass over. paired: -1 no
// "Paired", 0 or 1 a boolean, 2 a string.
fake_object with_paired(fake_object object, int paired) {
    object.properties.insert(object.properties.begin(), device_class(0x240404));
    if (paired == 0 || paired == 1) {
        object.properties.push_back(flag("Paired", paired == 1));
    } else if (paired == 2) {
        object.properties.push_back(text("Paired", "yes"));
    }
    return object;
}

const fake_object hci0 = with_paired(adapter("hci0"), -1);

fake_object device(const std::string &address, int paired, const std::string &on = "hci0") {
    return with_paired(::device(on, address), paired);
}

std::optional<device_pairing> pairing(const std::vector<fake_object> &objects) {
    return pairing_in_managed_objects(managed_objects(objects).get(), "00:1a:7d:da:71:13");
}

}  // namespace

TEST(PairingInManagedObjects, ReadsPairedOfTheDeviceWithThatAddressIgnoringCase) {
    EXPECT_EQ(pairing({hci0, device("00:1A:7D:DA:71:12", 0), device("00:1A:7D:DA:71:13", 1)}),
              device_pairing::paired);
    EXPECT_EQ(pairing({hci0, device("00:1A:7D:DA:71:13", 0), device("00:1A:7D:DA:71:12", 1)}),
              device_pairing::not_paired);
}

TEST(PairingInManagedObjects, OtherObjectsAndMissingDevicesSayNoSuchDevice) {
    EXPECT_EQ(pairing({}), device_pairing::no_such_device);
    // The adapter's own address is not a device, whatever it is.
    EXPECT_EQ(
        pairing({with_paired(
            {"/org/bluez/hci0", "org.bluez.Adapter1", {text("Address", "00:1A:7D:DA:71:13")}}, 1)}),
        device_pairing::no_such_device);
    EXPECT_EQ(pairing({hci0, device("00:1A:7D:DA:71:31", 1)}), device_pairing::no_such_device);
}

TEST(PairingInManagedObjects, APairedPropertyThatIsMissingOrNotABooleanIsNotPaired) {
    EXPECT_EQ(pairing({device("00:1A:7D:DA:71:13", -1)}), device_pairing::not_paired);
    EXPECT_EQ(pairing({device("00:1A:7D:DA:71:13", 2)}), device_pairing::not_paired);
}

TEST(PairingInManagedObjects, TheSameDeviceUnderTwoAdaptersIsPairedWhenEitherIs) {
    EXPECT_EQ(
        pairing({device("00:1A:7D:DA:71:13", 0, "hci0"), device("00:1A:7D:DA:71:13", 1, "hci1")}),
        device_pairing::paired);
}

TEST(PairingInManagedObjects, RefusesAReplyOfAnotherShape) {
    message_ptr reply = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    const char *text = "not an object list";
    dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    EXPECT_FALSE(pairing_in_managed_objects(reply.get(), "00:1A:7D:DA:71:13").has_value());
    message_ptr empty = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    EXPECT_FALSE(pairing_in_managed_objects(empty.get(), "00:1A:7D:DA:71:13").has_value());
}
