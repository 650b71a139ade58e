// Which object of BlueZ's GetManagedObjects reply is taken as the adapter.
#include "bluez/adapter_select.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "bluez/device_path.h"
#include "common/dbus_handles.h"
#include "object_list.h"

namespace {

std::string adapter_in(std::initializer_list<const char *> paths) {
    std::vector<fake_object> objects;
    for (const char *path : paths) {
        objects.push_back({path, "", {}});  // interfaces empty: only the paths count
    }
    message_ptr reply = managed_objects(objects);
    return read_object_list(reply.get()).adapter;
}

TEST(AdapterSelect, AdapterPaths) {
    EXPECT_TRUE(is_adapter_path("/org/bluez/hci0"));
    EXPECT_TRUE(is_adapter_path("/org/bluez/hci12"));
    EXPECT_TRUE(is_adapter_path("/org/bluez/hci")) << "no digit at all is accepted";
    EXPECT_FALSE(is_adapter_path("/org/bluez/hci0/dev_00_1A_7D_DA_71_13"));
    EXPECT_FALSE(is_adapter_path("/org/bluez/hcix"));
    EXPECT_FALSE(is_adapter_path("/org/bluez"));
    EXPECT_FALSE(is_adapter_path("/org/bluez/hc"));
    EXPECT_FALSE(is_adapter_path("/"));
}

TEST(AdapterSelect, FirstAdapterInReplyOrderWins) {
    EXPECT_EQ(adapter_in({"/org/bluez", "/org/bluez/hci1", "/org/bluez/hci0"}), "/org/bluez/hci1");
    EXPECT_EQ(adapter_in({"/org/bluez/hci0/dev_00_1A_7D_DA_71_13", "/org/bluez/hci0"}),
              "/org/bluez/hci0");
    EXPECT_EQ(adapter_in({"/org/bluez/hci"}), "/org/bluez/hci");
}

TEST(AdapterSelect, LongPathIsCutTo24Characters) {
    EXPECT_EQ(adapter_in({"/org/bluez/hci0123456789012345"}), "/org/bluez/hci0123456789");
}

TEST(AdapterSelect, NoAdapter) {
    EXPECT_EQ(adapter_in({}), "");
    EXPECT_EQ(adapter_in({"/org/bluez", "/org/bluez/hci0/dev_00_1A_7D_DA_71_13"}), "");
}

TEST(AdapterSelect, ReplyThatIsNotAnArray) {
    message_ptr empty = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    EXPECT_STREQ(read_object_list(empty.get()).adapter, "");

    message_ptr text = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    const char *path = "/org/bluez/hci0";
    dbus_message_append_args(text.get(), DBUS_TYPE_STRING, &path, DBUS_TYPE_INVALID);
    EXPECT_STREQ(read_object_list(text.get()).adapter, "");

    message_ptr paths = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    const char *list[] = {path};
    const char **items = list;
    dbus_message_append_args(paths.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_OBJECT_PATH, &items, 1,
                             DBUS_TYPE_INVALID);
    EXPECT_STREQ(read_object_list(paths.get()).adapter, "") << "only dictionary entries count";
}

}  // namespace
