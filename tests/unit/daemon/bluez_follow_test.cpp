// The decisions of following BlueZ, one signal each, on a private bus whose
// stand-in for BlueZ answers at once (the fuzz targets' fixture).
#include <gtest/gtest.h>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "common/bluez_names.h"
#include "common/dbus_handles.h"
#include "daemon/bluez_follow.h"
#include "fuzz/bus_fixture.h"
#include "object_list.h"
#include "syslog_capture.h"
#include "webui/web_pairing.h"

namespace {

constexpr const char *stale_owner = ":1.4242";  // no connection has it
constexpr const char *hci0 = "/org/bluez/hci0";

message_ptr owner_changed(const char *old_owner, const char *new_owner) {
    message_ptr signal = adopt_message(
        dbus_message_new_signal(DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "NameOwnerChanged"));
    const char *name = bluez_service;
    dbus_message_append_args(signal.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &old_owner,
                             DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID);
    dbus_message_set_sender(signal.get(), DBUS_SERVICE_DBUS);
    return signal;
}

// InterfacesAdded or InterfacesRemoved of an adapter, from BlueZ.
message_ptr adapter_signal(bool added, const char *path) {
    const fake_object adapter{path, adapter_interface, {}};
    message_ptr signal = added ? interfaces_added(adapter) : interfaces_removed(adapter);
    dbus_message_set_sender(signal.get(), fuzz_bluez_unique_name());
    return signal;
}

struct follow_case {
    const char *decision;
    // Before: BlueZ known as present, its adapter selected, the agent registered.
    bool present, adapter, registered;
    web_pairing pairing;
    message_ptr (*news)();
    const char *failing_member;  // the stand-in refuses the next call of it ...
    const char *error_name;      // ... with this error
    // After:
    bool asks_bluez, adapter_after, registered_after;
};

const follow_case cases[] = {
    {"an arrival whose owner has gone again is left to the change queued after it", false, false,
     false, web_pairing::idle, [] { return owner_changed("", stale_owner); }, nullptr, nullptr,
     false, false, false},
    {"AlreadyExists from RegisterAgent: the agent is made again and counts as registered", false,
     false, false, web_pairing::idle, [] { return owner_changed("", fuzz_bluez_unique_name()); },
     "RegisterAgent", "org.bluez.Error.AlreadyExists", true, false, true},
    {"InProgress from StartDiscovery: the new adapter is adopted", true, false, true,
     web_pairing::idle, [] { return adapter_signal(true, hci0); }, "StartDiscovery",
     "org.bluez.Error.InProgress", true, true, true},
    {"an adapter appearing while the agent is unregistered registers it again", true, false, false,
     web_pairing::idle, [] { return adapter_signal(true, hci0); }, nullptr, nullptr, true, true,
     true},
    {"an adapter refusing discovery is not adopted", true, false, true, web_pairing::idle,
     [] { return adapter_signal(true, hci0); }, "StartDiscovery", "org.bluez.Error.Failed", true,
     false, true},
    {"the selected adapter's removal forgets it", true, true, true, web_pairing::idle,
     [] { return adapter_signal(false, hci0); }, nullptr, nullptr, true, false, true},
    {"BlueZ leaving abandons the web pairing and forgets everything", true, true, true,
     web_pairing::requested, [] { return owner_changed(fuzz_bluez_unique_name(), ""); }, nullptr,
     nullptr, false, false, false},
};

DBusHandlerResult agent_stub(DBusConnection * /*connection*/, DBusMessage * /*message*/,
                             void * /*user_data*/) {
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void set_up(DBusConnection *connection, const follow_case &row) {
    note_bluez_away();
    agent_forget(connection);
    if (row.present) {
        note_bluez_owner(fuzz_bluez_unique_name());
    }
    if (row.adapter) {
        adopt_adapter(hci0);
    }
    if (row.registered) {
        error_guard error;
        ASSERT_TRUE(agent_register(connection, error, agent_stub,
                                   agent_registration::no_input_no_output, nullptr));
    }
    web_pairing_state = row.pairing;
    if (row.failing_member != nullptr) {
        fuzz_bluez_fail_next(row.failing_member, row.error_name);
    }
}

TEST(FollowBluez, EachDecision) {
    DBusConnection *connection = fuzz_bus_connection();
    pairing_request_record request = {"00:1A:7D:DA:71:13", 0};
    for (const follow_case &row : cases) {
        SCOPED_TRACE(row.decision);
        set_up(connection, row);
        const unsigned long calls = fuzz_bluez_calls();
        message_ptr news = row.news();
        EXPECT_EQ(follow_bluez(connection, news.get(), &request),
                  DBUS_HANDLER_RESULT_NOT_YET_HANDLED);
        EXPECT_EQ(fuzz_bluez_calls() > calls, row.asks_bluez);
        EXPECT_EQ(adapter_selected(), row.adapter_after);
        EXPECT_EQ(agent_registered_as() != agent_registration::none, row.registered_after);
        EXPECT_EQ(web_pairing_state, web_pairing::idle);
        fuzz_bluez_fail_next(nullptr, nullptr);
        fuzz_bus_drain();
    }
}

}  // namespace
