// Answers that cannot travel over a real bus: an error without a name, and
// an answer to Pair that arrives after the pairing has ended. The rest of the
// handler is exercised against the simulated BlueZ by the system tests.
#include <gtest/gtest.h>

#include "agent/agent_message_handler.h"
#include "bluez/bluez_link.h"
#include "common/dbus_handles.h"
#include "syslog_capture.h"
#include "webui/web_pairing.h"

// The handler logs through syslog; this executable keeps the lines instead.

namespace {

message_ptr error_named(const char *name) {
    message_ptr error = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_ERROR));
    if (name != nullptr) {
        dbus_message_set_error_name(error.get(), name);
    }
    return error;
}

TEST(PairErrorReason, NameAfterTheLastDot) {
    EXPECT_STREQ(pair_error_reason(error_named("org.bluez.Error.AuthenticationFailed").get()),
                 "AuthenticationFailed");
    EXPECT_STREQ(pair_error_reason(error_named("a.b").get()), "b");
}

TEST(PairErrorReason, NoNameAtAll) {
    EXPECT_STREQ(pair_error_reason(error_named(nullptr).get()), "unknow issue");
}

// An answer to Pair as BlueZ (the remembered owner of "org.bluez") sends it.
message_ptr answer_from_bluez(dbus_uint32_t reply_serial) {
    note_bluez_owner(":1.7");
    message_ptr answer = adopt_message(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    dbus_message_set_reply_serial(answer.get(), reply_serial);
    dbus_message_set_sender(answer.get(), ":1.7");
    return answer;
}

TEST(AgentMessageHandler, AnswerAfterThePairingEndedIsSwallowed) {
    web_pairing_state = web_pairing::idle;
    pairing_request_record request = {"00:1A:7D:DA:71:13", 41};
    message_ptr answer = answer_from_bluez(41);
    logged_lines().clear();
    // No connection: any call to BlueZ would crash here.
    EXPECT_EQ(agent_message_handler(nullptr, answer.get(), &request), DBUS_HANDLER_RESULT_HANDLED);
    EXPECT_TRUE(logged_lines().empty());
    EXPECT_EQ(web_pairing_state, web_pairing::idle);
}

TEST(AgentMessageHandler, OtherRepliesAreNotHandled) {
    web_pairing_state = web_pairing::passkey_shown;
    pairing_request_record request = {"00:1A:7D:DA:71:13", 41};
    message_ptr answer = answer_from_bluez(42);
    EXPECT_EQ(agent_message_handler(nullptr, answer.get(), &request),
              DBUS_HANDLER_RESULT_NOT_YET_HANDLED);
    dbus_message_set_reply_serial(answer.get(), 41);
    EXPECT_EQ(agent_message_handler(nullptr, answer.get(), nullptr),
              DBUS_HANDLER_RESULT_NOT_YET_HANDLED)
        << "without user data the agent object does not complete pairings";
    EXPECT_EQ(web_pairing_state, web_pairing::passkey_shown);
    web_pairing_state = web_pairing::idle;
}

}  // namespace
