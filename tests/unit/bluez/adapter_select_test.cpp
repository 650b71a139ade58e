// Which object of BlueZ's GetManagedObjects reply is taken as the adapter.
#include "bluez/adapter_select.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "bluez/device_path.h"
#include "common/dbus_handles.h"

namespace {

// A reply shaped like GetManagedObjects': a{oa{sa{sv}}}, interfaces empty.
message_ptr managed_objects(std::initializer_list<const char *> paths) {
    message_ptr reply = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    DBusMessageIter args, objects, entry, interfaces;
    dbus_message_iter_init_append(reply.get(), &args);
    dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{oa{sa{sv}}}", &objects);
    for (const char *path : paths) {
        dbus_message_iter_open_container(&objects, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_OBJECT_PATH, &path);
        dbus_message_iter_open_container(&entry, DBUS_TYPE_ARRAY, "{sa{sv}}", &interfaces);
        dbus_message_iter_close_container(&entry, &interfaces);
        dbus_message_iter_close_container(&objects, &entry);
    }
    dbus_message_iter_close_container(&args, &objects);
    return reply;
}

std::string adapter_in(std::initializer_list<const char *> paths) {
    char out[adapter_path_max + 1] = "unchanged";
    message_ptr reply = managed_objects(paths);
    return find_adapter_in_reply(reply.get(), out) ? out : "";
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
    char out[adapter_path_max + 1] = "";
    message_ptr empty = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    EXPECT_FALSE(find_adapter_in_reply(empty.get(), out));

    message_ptr text = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    const char *path = "/org/bluez/hci0";
    dbus_message_append_args(text.get(), DBUS_TYPE_STRING, &path, DBUS_TYPE_INVALID);
    EXPECT_FALSE(find_adapter_in_reply(text.get(), out));

    message_ptr paths = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    const char *list[] = {path};
    const char **items = list;
    dbus_message_append_args(paths.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_OBJECT_PATH, &items, 1,
                             DBUS_TYPE_INVALID);
    EXPECT_FALSE(find_adapter_in_reply(paths.get(), out)) << "only dictionary entries count";
}

}  // namespace
