// The daemon's intake of the request pipe (the loop's own step), on raw bytes. Input: one byte of
// set-up, then what the web UI side wrote into the pipe, read request by
// request until the pipe is empty; each started pairing is ended again, as
// BlueZ's answer would.
//   bit 0  BlueZ's stand-in answers every call with an error
//   bit 1  no adapter has been selected
//   bit 2  no pairing can start now (BlueZ away): requests are refused
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/agent_message_handler.h"
#include "bluez/bluez_calls.h"
#include "bluez/bluez_link.h"
#include "daemon/request_intake.h"
#include "fuzz/bus_fixture.h"
#include "webui/web_pairing.h"

namespace {

// Some thirty requests: more add bus round trips, not new ways through the
// intake. (A pipe holds 64 KiB, so the write never blocks.)
constexpr size_t max_pipe_bytes = 512;

pairing_request_record request;

int bytes_waiting(int fd) {
    int count = 0;
    return ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

void take_requests(DBusConnection *connection, int fd) {
    while (bytes_waiting(fd) > 0) {
        const bool goes_on = take_request(connection, fd, request);
        if (web_pairing_state != web_pairing::idle) {
            end_web_pairing(connection, agent_message_handler);
        }
        if (!goes_on) {
            return;
        }
        fuzz_bus_drain();
    }
}

// BlueZ on the bus with the adapter and the agent, or away (bit 2).
void set_bluez(DBusConnection *connection, uint8_t flags) {
    agent_forget(connection);
    if ((flags & 4) != 0) {
        note_bluez_away();
        return;
    }
    note_bluez_owner(fuzz_bluez_unique_name());
    error_guard error;
    (void)agent_register(connection, error, agent_message_handler,
                         agent_registration::no_input_no_output, nullptr);
    if ((flags & 2) != 0) {
        forget_adapter();
    } else {
        adopt_adapter("/org/bluez/hci0");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size - 1 > max_pipe_bytes) {
        return 0;
    }
    DBusConnection *connection = fuzz_bus_connection();
    fuzz_bluez_answers((data[0] & 1) != 0 ? bluez_answer::error : bluez_answer::success);
    set_bluez(connection, data[0]);
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0 ||
        write(ends[1], data + 1, size - 1) != static_cast<ssize_t>(size - 1)) {
        abort();
    }
    close(ends[1]);
    take_requests(connection, ends[0]);
    close(ends[0]);
    fuzz_bus_drain();
    return 0;
}
