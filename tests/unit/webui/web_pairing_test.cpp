// The decisions at the end of a web pairing, on the fuzz targets' private bus
// whose BlueZ stand-in answers every call at once: what reaches the reply
// pipe, whether the device is trusted, and that the agent is swapped back and
// the pairing window applied again, whatever came before.
#include "webui/web_pairing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "bluez/pairing_window.h"
#include "common/pipe_protocol.h"
#include "common/reply_message.h"
#include "fuzz/bus_fixture.h"
#include "io/descriptors.h"
#include "syslog_capture.h"
#include "temp_dir.h"
#include "webui/reply_pipe.h"

namespace {

DBusHandlerResult agent_stub(DBusConnection * /*connection*/, DBusMessage * /*message*/,
                             void * /*user_data*/) {
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

struct row {
    const char *what;
    web_pairing reached;  // how far the pairing got before BlueZ answered Pair
    bool pair_failed;     // BlueZ's answer to Pair is an error
    bluez_answer calls;   // how BlueZ answers the calls that follow
    pairable window;
    const char *reply;  // what reaches the reply pipe
    const char *bluez;  // the calls BlueZ gets after Pair's answer
};

// clang-format off
const row rows[] = {
    {"paired, no passkey shown", web_pairing::requested, false, bluez_answer::success,
     pairable::closed, "paired",
     "Set Trusted true, UnregisterAgent, RegisterAgent NoInputNoOutput, RequestDefaultAgent, "
     "Set Pairable false, Set Discoverable false"},
    {"paired after the passkey: BlueZ tells the web UI", web_pairing::passkey_shown, false,
     bluez_answer::success, pairable::closed, "",
     "Set Trusted true, UnregisterAgent, RegisterAgent NoInputNoOutput, RequestDefaultAgent, "
     "Set Pairable false, Set Discoverable false"},
    {"Pair failed: no trust", web_pairing::passkey_shown, true, bluez_answer::success,
     pairable::undecided, "failed",
     "UnregisterAgent, RegisterAgent NoInputNoOutput, RequestDefaultAgent, Set Pairable false, "
     "Set Discoverable false"},
    {"window open: applied as open", web_pairing::requested, false, bluez_answer::success,
     pairable::open, "paired",
     "Set Trusted true, UnregisterAgent, RegisterAgent NoInputNoOutput, RequestDefaultAgent, "
     "Set Pairable true, Set Discoverable true"},
    // The object stays registered, so no RegisterAgent; a failed Pairable
    // does not keep Discoverable shut out, as in the loop.
    {"all fails: a failure, and the whole window still tried", web_pairing::passkey_shown, false,
     bluez_answer::error, pairable::closed, "failed",
     "Set Trusted true, UnregisterAgent, Set Pairable false, Set Discoverable false"},
};
// clang-format on

// The messages waiting in the reply pipe, by name.
std::vector<std::string> reply_messages(int reply_fd) {
    std::vector<std::string> names;
    static const char *const name_of[] = {"passkey", "paired", "failed", "other"};
    char message[reply_size];
    while (read(reply_fd, message, sizeof message) == static_cast<ssize_t>(sizeof message)) {
        names.emplace_back(name_of[static_cast<int>(classify_reply({message, sizeof message}))]);
    }
    return names;
}

std::string joined(const std::vector<std::string> &items) {
    std::string text;
    for (const std::string &item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

// Waits for the stand-in's own answer to Pair, so that Pair is among the
// calls taken before the pairing ends.
void wait_for_answer(DBusConnection *connection, dbus_uint32_t serial) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline &&
           dbus_connection_read_write(connection, 100)) {
        while (DBusMessage *message = dbus_connection_pop_message(connection)) {
            const bool answer = dbus_message_get_reply_serial(message) == serial;
            dbus_message_unref(message);
            if (answer) {
                return;
            }
        }
    }
    FAIL() << "no answer to Pair within 5 s";
}

// A reply pipe of the test's own, opened for reading, that the daemon's
// reply writers now write to (they keep the path's pointer, so it lives on).
unique_fd open_reply_pipe(temp_dir &dir) {
    static std::string reply_path;
    reply_path = dir.path("reply.fifo");
    if (mkfifo(reply_path.c_str(), 0600) != 0) {
        return unique_fd();
    }
    unique_fd reply(open(reply_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    use_reply_pipe(reply_path.c_str());
    return reply;
}

// BlueZ known, the agent registered as it is between pairings, hci0 adopted.
void ready_for_a_pairing(DBusConnection *connection) {
    settings window{};
    window.discoverable = 2;  // the window drives Discoverable too
    pairing_window_set_up(window, nullptr);
    note_bluez_owner(fuzz_bluez_unique_name());
    error_guard error;
    agent_forget(connection);
    ASSERT_TRUE(agent_register(connection, error, agent_stub,
                               agent_registration::no_input_no_output, nullptr));
    adopt_adapter("/org/bluez/hci0");
}

message_ptr pair_answer(bool failed) {
    message_ptr answer = adopt_message(
        dbus_message_new(failed ? DBUS_MESSAGE_TYPE_ERROR : DBUS_MESSAGE_TYPE_METHOD_RETURN));
    if (failed) {
        dbus_message_set_error_name(answer.get(), "org.bluez.Error.AuthenticationFailed");
    }
    return answer;
}

TEST(WebPairingEnd, EachDecision) {
    DBusConnection *connection = fuzz_bus_connection();
    fuzz_bluez_record_calls();
    temp_dir dir;
    const unique_fd reply = open_reply_pipe(dir);
    ASSERT_TRUE(reply);
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        ready_for_a_pairing(connection);
        fuzz_bluez_answers(bluez_answer::success);
        error_guard error;
        pairing_request_record request = {"00:1A:7D:DA:71:13", 0};
        ASSERT_EQ(start_web_pairing(connection, error, request, agent_stub),
                  pairing_start::started);
        wait_for_answer(connection, request.pair_serial);
        (void)fuzz_bluez_take_calls();
        (void)reply_messages(reply.get());

        web_pairing_state = r.reached;
        pairing_window_assume(r.window);
        fuzz_bluez_answers(r.calls);
        complete_web_pairing(connection, pair_answer(r.pair_failed).get(), request, agent_stub);
        EXPECT_EQ(joined(reply_messages(reply.get())), r.reply);
        EXPECT_EQ(joined(fuzz_bluez_take_calls()), r.bluez);
        EXPECT_EQ(web_pairing_state, web_pairing::idle);
        fuzz_bus_drain();
    }
}

// BlueZ never answers Pair (its answer is read here and dropped): nothing
// happens before the limit; once it has passed the pairing is cancelled, the
// web UI told, the agent swapped back and the window applied again.
TEST(WebPairingLimit, PairNotAnsweredInTime) {
    DBusConnection *connection = fuzz_bus_connection();
    fuzz_bluez_record_calls();
    temp_dir dir;
    const unique_fd reply = open_reply_pipe(dir);
    ASSERT_TRUE(reply);
    fuzz_bluez_answers(bluez_answer::success);
    ready_for_a_pairing(connection);
    error_guard error;
    pairing_window_assume(pairable::open);
    pairing_request_record request = {"00:1A:7D:DA:71:13", 0};

    web_pairing_set_pair_limit_ms(60000);
    ASSERT_EQ(start_web_pairing(connection, error, request, agent_stub), pairing_start::started);
    wait_for_answer(connection, request.pair_serial);
    (void)fuzz_bluez_take_calls();
    (void)reply_messages(reply.get());
    EXPECT_GT(web_pairing_due_ms(), 50000);
    expire_web_pairing(connection, request, agent_stub);
    EXPECT_EQ(joined(fuzz_bluez_take_calls()), "");
    EXPECT_EQ(web_pairing_state, web_pairing::requested);
    end_web_pairing(connection, agent_stub);
    (void)fuzz_bluez_take_calls();

    web_pairing_set_pair_limit_ms(1);
    ASSERT_EQ(start_web_pairing(connection, error, request, agent_stub), pairing_start::started);
    wait_for_answer(connection, request.pair_serial);
    (void)fuzz_bluez_take_calls();
    const auto limit_passed = [] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (web_pairing_due_ms() != 0 && std::chrono::steady_clock::now() < deadline) {
        }
    };
    limit_passed();
    logged_lines().clear();
    expire_web_pairing(connection, request, agent_stub);
    EXPECT_EQ(joined(logged_lines()),
              "3 Pairing with 00:1A:7D:DA:71:13 failed: Pair was not answered within 1 s");
    EXPECT_EQ(joined(reply_messages(reply.get())), "failed");
    EXPECT_EQ(joined(fuzz_bluez_take_calls()),
              "CancelPairing, UnregisterAgent, RegisterAgent NoInputNoOutput, RequestDefaultAgent, "
              "Set Pairable true, Set Discoverable true");
    EXPECT_EQ(web_pairing_state, web_pairing::idle);
    EXPECT_EQ(web_pairing_due_ms(), -1);

    // A BlueZ that hangs from then on holds each step a second, not ten.
    ASSERT_EQ(start_web_pairing(connection, error, request, agent_stub), pairing_start::started);
    wait_for_answer(connection, request.pair_serial);
    (void)fuzz_bluez_take_calls();
    fuzz_bluez_answers(bluez_answer::none);
    limit_passed();
    const auto began = std::chrono::steady_clock::now();
    expire_web_pairing(connection, request, agent_stub);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    EXPECT_LT(took.count(), 10.0) << "four calls of at most a second each, and slack";
    EXPECT_EQ(joined(fuzz_bluez_take_calls()),
              "CancelPairing, UnregisterAgent, Set Pairable true, Set Discoverable true");
    EXPECT_EQ(web_pairing_state, web_pairing::idle);
    web_pairing_set_pair_limit_ms(pair_answer_limit_s * 1000);
    fuzz_bluez_answers(bluez_answer::success);
    fuzz_bus_drain();
}

}  // namespace
