// The daemon's one message handler, fed any message libdbus accepts. Input:
// one byte of state, then a whole D-Bus message in its wire form.
//   bits 0-1  the web pairing: idle, requested, passkey shown
//   bits 2-3  the pairing window: undecided, closed, open
//   bit 4     the agent object's user data: the pairing record, or none
//   bit 5     BlueZ's stand-in answers every call with an error
// The owner of "org.bluez" is remembered as fuzz_bluez_sender before each
// message, so that messages from that sender reach the deeper branches. The
// requested device is 00:1A:7D:DA:71:13 and its Pair call has serial 77.
//
// Besides crashes, aborts and leaks, one fault is looked for: a message that
// does not come from the owner of "org.bluez" must not make the daemon call
// BlueZ (set Trusted, swap its agent).
#include <dbus/dbus.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/agent_message_handler.h"
#include "bluez/bluez_link.h"
#include "bluez/pairing_window.h"
#include "fuzz/bus_fixture.h"
#include "webui/web_pairing.h"

namespace {

constexpr uint32_t pair_serial = 77;

pairing_request_record request;

void set_state(uint8_t flags) {
    const web_pairing web[] = {web_pairing::idle, web_pairing::requested,
                               web_pairing::passkey_shown, web_pairing::idle};
    const pairable window[] = {pairable::undecided, pairable::closed, pairable::open,
                               pairable::open};
    web_pairing_state = web[flags & 3];
    pairing_window_assume(window[(flags >> 2) & 3]);
    fuzz_bluez_answers((flags & 0x20) != 0 ? bluez_answer::error : bluez_answer::success);
    memset(&request, 0, sizeof request);
    strcpy(request.address, "00:1A:7D:DA:71:13");
    request.pair_serial = pair_serial;
    adopt_adapter("/org/bluez/hci0");
    note_bluez_owner(fuzz_bluez_sender);
}

bool from_bluez(DBusMessage *message) {
    const char *sender = dbus_message_get_sender(message);
    return sender != nullptr && (strcmp(sender, fuzz_bluez_sender) == 0 ||
                                 strcmp(sender, fuzz_bluez_unique_name()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    DBusConnection *connection = fuzz_bus_connection();
    DBusMessage *message = dbus_message_demarshal(reinterpret_cast<const char *>(data + 1),
                                                  static_cast<int>(size - 1), nullptr);
    if (message == nullptr) {
        return 0;
    }
    set_state(data[0]);
    void *user_data = (data[0] & 0x10) != 0 ? &request : nullptr;
    const unsigned long calls_before = fuzz_bluez_calls();
    (void)agent_message_handler(connection, message, user_data);
    if (fuzz_bluez_calls() != calls_before && !from_bluez(message)) {
        abort();
    }
    dbus_message_unref(message);
    fuzz_bus_drain();
    return 0;
}
