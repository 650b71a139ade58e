// Reading a device's pairing from BlueZ's object list, on replies built here.
#include "client/bluez_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct fake_object {
    std::string path;
    std::string interface;
    std::string address;  // empty: no "Address" property
    int paired;           // -1: no "Paired"; 2: "Paired" holding a string
};

struct message_unref {
    void operator()(DBusMessage *message) const { dbus_message_unref(message); }
};
using owned_message = std::unique_ptr<DBusMessage, message_unref>;

void append_variant_entry(DBusMessageIter *dict, const char *key, int type, const void *value) {
    const char signature[2] = {static_cast<char>(type), '\0'};
    DBusMessageIter entry;
    DBusMessageIter variant;
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
    dbus_message_iter_append_basic(&variant, type, value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

void append_properties(DBusMessageIter *interfaces, const fake_object &object) {
    DBusMessageIter entry;
    DBusMessageIter properties;
    const char *name = object.interface.c_str();
    dbus_message_iter_open_container(interfaces, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_ARRAY, "{sv}", &properties);
    const dbus_uint32_t device_class = 0x240404;
    append_variant_entry(&properties, "Class", DBUS_TYPE_UINT32, &device_class);
    if (!object.address.empty()) {
        const char *address = object.address.c_str();
        append_variant_entry(&properties, "Address", DBUS_TYPE_STRING, &address);
    }
    if (object.paired == 0 || object.paired == 1) {
        const dbus_bool_t paired = object.paired;
        append_variant_entry(&properties, "Paired", DBUS_TYPE_BOOLEAN, &paired);
    } else if (object.paired == 2) {
        const char *yes = "yes";
        append_variant_entry(&properties, "Paired", DBUS_TYPE_STRING, &yes);
    }
    dbus_message_iter_close_container(&entry, &properties);
    dbus_message_iter_close_container(interfaces, &entry);
}

owned_message managed_objects(const std::vector<fake_object> &objects) {
    owned_message reply(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    DBusMessageIter top;
    DBusMessageIter list;
    dbus_message_iter_init_append(reply.get(), &top);
    dbus_message_iter_open_container(&top, DBUS_TYPE_ARRAY, "{oa{sa{sv}}}", &list);
    for (const auto &object : objects) {
        DBusMessageIter entry;
        DBusMessageIter interfaces;
        const char *path = object.path.c_str();
        dbus_message_iter_open_container(&list, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_OBJECT_PATH, &path);
        dbus_message_iter_open_container(&entry, DBUS_TYPE_ARRAY, "{sa{sv}}", &interfaces);
        append_properties(&interfaces, object);
        dbus_message_iter_close_container(&entry, &interfaces);
        dbus_message_iter_close_container(&list, &entry);
    }
    dbus_message_iter_close_container(&top, &list);
    return reply;
}

const fake_object adapter{"/org/bluez/hci0", "org.bluez.Adapter1", "00:AA:BB:CC:DD:EE", -1};

fake_object device(const std::string &address, int paired, const std::string &adapter = "hci0") {
    std::string path = "/org/bluez/" + adapter + "/dev_" + address;
    for (char &c : path) {
        c = c == ':' ? '_' : c;
    }
    return {path, "org.bluez.Device1", address, paired};
}

std::optional<device_pairing> pairing(const std::vector<fake_object> &objects) {
    return pairing_in_managed_objects(managed_objects(objects).get(), "00:1a:7d:da:71:13");
}

}  // namespace

TEST(PairingInManagedObjects, ReadsPairedOfTheDeviceWithThatAddressIgnoringCase) {
    EXPECT_EQ(pairing({adapter, device("00:1A:7D:DA:71:12", 0), device("00:1A:7D:DA:71:13", 1)}),
              device_pairing::paired);
    EXPECT_EQ(pairing({adapter, device("00:1A:7D:DA:71:13", 0), device("00:1A:7D:DA:71:12", 1)}),
              device_pairing::not_paired);
}

TEST(PairingInManagedObjects, OtherObjectsAndMissingDevicesSayNoSuchDevice) {
    EXPECT_EQ(pairing({}), device_pairing::no_such_device);
    // The adapter's own address is not a device, whatever it is.
    EXPECT_EQ(pairing({{"/org/bluez/hci0", "org.bluez.Adapter1", "00:1A:7D:DA:71:13", 1}}),
              device_pairing::no_such_device);
    EXPECT_EQ(pairing({adapter, device("00:1A:7D:DA:71:31", 1)}), device_pairing::no_such_device);
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
    owned_message reply(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    const char *text = "not an object list";
    dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    EXPECT_FALSE(pairing_in_managed_objects(reply.get(), "00:1A:7D:DA:71:13").has_value());
    owned_message empty(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    EXPECT_FALSE(pairing_in_managed_objects(empty.get(), "00:1A:7D:DA:71:13").has_value());
}
