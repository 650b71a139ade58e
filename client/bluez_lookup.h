// pairgate-pair's questions to BlueZ over the system bus: its object list
// (for --list too), whether a device is paired, and CancelPairing.
#pragma once

#include <dbus/dbus.h>
#include <signal.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/pair_client.h"
#include "common/dbus_handles.h"

// What BlueZ's object list says about one device.
enum class device_pairing { paired, not_paired, no_such_device };

// Reads a GetManagedObjects reply (a{oa{sa{sv}}}): the device is paired when
// an object with org.bluez.Device1 has its "Address" (compared ignoring case)
// and "Paired" true; more than one such object (one per adapter) is paired
// when any of them is. None when the reply has another shape.
std::optional<device_pairing> pairing_in_managed_objects(DBusMessage *reply,
                                                         std::string_view address);

// The object paths of the device (one per adapter) in a GetManagedObjects reply.
std::vector<std::string> device_paths_in_managed_objects(DBusMessage *reply,
                                                         std::string_view address);

// A private connection to the system bus, so that a lost bus cannot make
// libdbus end the process with status 1, which means "pairing failed" to our
// caller. A local error when the bus cannot be reached.
std::optional<run_failure> connect_private_bus(private_connection_ptr &connection);

// BlueZ's object list, asked over connection, in reply; a local error
// ("cannot read WHAT from BlueZ: ...") when it cannot be had. With `ending`,
// the wait for the answer gives up as soon as *ending is set (by a signal's
// handler), looking at it at least ten times a second.
std::optional<run_failure> ask_managed_objects(DBusConnection *connection, int timeout_ms,
                                               const char *what, message_ptr &reply,
                                               const volatile sig_atomic_t *ending = nullptr);

// Asks BlueZ through a private connection to the system bus, opened on the
// first question only: the bus is needed only when a passkey was shown and no
// failure followed. `timeout_ms` bounds the wait for BlueZ's answer; connecting
// to the bus is bounded by libdbus alone.
class bluez_lookup : public pairing_lookup {
  public:
    bluez_lookup() = default;
    // While asking whether the device is paired, the signals of an ending run
    // reach their handler (the signal mask is `wait_mask`), and the question
    // is given up once `*ending` is set: a hung BlueZ must not hold them.
    bluez_lookup(const volatile sig_atomic_t *ending, const sigset_t *wait_mask)
        : ending_(ending), wait_mask_(wait_mask) {}

    std::optional<run_failure> is_paired(std::string_view address, int timeout_ms,
                                         answer &result) override;
    void cancel_pairing(std::string_view address, int timeout_ms) override;

  private:
    std::optional<run_failure> managed_objects(int timeout_ms, message_ptr &reply,
                                               const volatile sig_atomic_t *ending = nullptr);

    private_connection_ptr connection_;
    const volatile sig_atomic_t *ending_ = nullptr;
    const sigset_t *wait_mask_ = nullptr;
};
