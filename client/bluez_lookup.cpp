// Asking BlueZ over the system bus whether a device is paired.
#include "client/bluez_lookup.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "client/address_text.h"
#include "client/device_properties.h"
#include "common/managed_objects.h"
#include "io/monotonic_clock.h"

namespace {

// Whether one object of the list is the device, and paired.
device_pairing pairing_of_object(DBusMessageIter *interfaces, std::string_view address) {
    const std::optional<listed_device> device = device_of_object(interfaces);
    if (!device || !same_address(device->address, address)) {
        return device_pairing::no_such_device;
    }
    return device->paired ? device_pairing::paired : device_pairing::not_paired;
}

// Calls visit(path, paired) for every Device1 object of the reply whose
// "Address" is the device's.
template <typename Visit>
void visit_device(DBusMessage *reply, std::string_view address, Visit visit) {
    visit_managed_objects(reply, [&](const char *path, DBusMessageIter *interfaces) {
        const device_pairing found = pairing_of_object(interfaces, address);
        return found != device_pairing::no_such_device &&
               visit(path, found == device_pairing::paired);
    });
}

// How long one wait for BlueZ's answer lasts before *ending is looked at again.
constexpr int ending_check_ms = 100;

struct pending_unref {
    void operator()(DBusPendingCall *pending) const { dbus_pending_call_unref(pending); }
};
using pending_ptr = std::unique_ptr<DBusPendingCall, pending_unref>;

// Like dbus_connection_send_with_reply_and_block, but gives up as soon as
// *ending is set.
message_ptr call_until_ending(DBusConnection *connection, DBusMessage *call, int timeout_ms,
                              const volatile sig_atomic_t *ending, error_guard &error) {
    DBusPendingCall *sent = nullptr;
    if (!dbus_connection_send_with_reply(connection, call, &sent, timeout_ms) || sent == nullptr) {
        dbus_set_error_const(error.get(), DBUS_ERROR_DISCONNECTED, "the bus connection is closed");
        return nullptr;
    }
    const pending_ptr pending(sent);
    const deadline until(timeout_ms);
    while (!dbus_pending_call_get_completed(pending.get())) {
        if (*ending != 0 || until.passed()) {
            dbus_pending_call_cancel(pending.get());
            dbus_set_error_const(error.get(), DBUS_ERROR_NO_REPLY,
                                 *ending != 0 ? "interrupted" : "no answer in time");
            return nullptr;
        }
        const int wait_ms =
            until.unlimited() ? ending_check_ms : std::min(ending_check_ms, until.left_ms());
        if (!dbus_connection_read_write_dispatch(connection, wait_ms)) {
            dbus_set_error_const(error.get(), DBUS_ERROR_DISCONNECTED,
                                 "the bus connection is closed");
            return nullptr;
        }
    }
    message_ptr reply(dbus_pending_call_steal_reply(pending.get()));
    if (reply && dbus_set_error_from_message(error.get(), reply.get())) {
        return nullptr;
    }
    return reply;
}

// Runs ask with the signal mask `wait_mask` (none: unchanged).
template <typename Ask>
auto with_signal_mask(const sigset_t *wait_mask, Ask ask) {
    sigset_t held;
    if (wait_mask != nullptr) {
        static_cast<void>(sigprocmask(SIG_SETMASK, wait_mask, &held));
    }
    auto result = ask();
    if (wait_mask != nullptr) {
        static_cast<void>(sigprocmask(SIG_SETMASK, &held, nullptr));
    }
    return result;
}

}  // namespace

std::optional<device_pairing> pairing_in_managed_objects(DBusMessage *reply,
                                                         std::string_view address) {
    if (!is_managed_objects_reply(reply)) {
        return std::nullopt;
    }
    device_pairing result = device_pairing::no_such_device;
    visit_device(reply, address, [&result](const char * /*path*/, bool paired) {
        result = paired ? device_pairing::paired : device_pairing::not_paired;
        return paired;
    });
    return result;
}

std::vector<std::string> device_paths_in_managed_objects(DBusMessage *reply,
                                                         std::string_view address) {
    std::vector<std::string> paths;
    visit_device(reply, address, [&paths](const char *path, bool /*paired*/) {
        paths.emplace_back(path);
        return false;
    });
    return paths;
}

namespace {

run_failure local_error(std::string message) {
    return {run_result::local_error, std::move(message)};
}

}  // namespace

std::optional<run_failure> connect_private_bus(private_connection_ptr &connection) {
    error_guard error;
    connection.reset(dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get()));
    if (!connection) {
        return local_error(std::string("cannot connect to the system bus: ") + error.text());
    }
    dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    return std::nullopt;
}

std::optional<run_failure> ask_managed_objects(DBusConnection *connection, int timeout_ms,
                                               const char *what, message_ptr &reply,
                                               const volatile sig_atomic_t *ending) {
    error_guard error;
    const message_ptr call = managed_objects_call(error);
    if (!call) {
        return local_error(error.text());
    }
    if (ending != nullptr) {
        reply = call_until_ending(connection, call.get(), timeout_ms, ending, error);
    } else {
        reply.reset(dbus_connection_send_with_reply_and_block(connection, call.get(), timeout_ms,
                                                              error.get()));
    }
    if (!reply) {
        return local_error(std::string("cannot read ") + what + " from BlueZ: " + error.text());
    }
    return std::nullopt;
}

std::optional<run_failure> bluez_lookup::managed_objects(int timeout_ms, message_ptr &reply,
                                                         const volatile sig_atomic_t *ending) {
    if (!connection_) {
        if (auto failure = connect_private_bus(connection_)) {
            return failure;
        }
    }
    return ask_managed_objects(connection_.get(), timeout_ms, "the pairing state", reply, ending);
}

std::optional<run_failure> bluez_lookup::is_paired(std::string_view address, int timeout_ms,
                                                   answer &result) {
    message_ptr reply;
    if (auto failure = with_signal_mask(
            wait_mask_, [&] { return managed_objects(timeout_ms, reply, ending_); })) {
        return failure;
    }
    const auto pairing = pairing_in_managed_objects(reply.get(), address);
    if (!pairing) {
        return local_error("unexpected answer from BlueZ to GetManagedObjects");
    }
    result = *pairing == device_pairing::paired ? answer::paired : answer::not_paired;
    return std::nullopt;
}

void bluez_lookup::cancel_pairing(std::string_view address, int timeout_ms) {
    message_ptr reply;
    // Nothing can be cancelled through a BlueZ that cannot be asked.
    if (const auto failure = managed_objects(timeout_ms, reply)) {
        return;
    }
    for (const std::string &path : device_paths_in_managed_objects(reply.get(), address)) {
        const message_ptr call(dbus_message_new_method_call(bluez_service, path.c_str(),
                                                            device_interface, "CancelPairing"));
        error_guard error;
        // Only BlueZ's path strings reach here, and the reply's signature was
        // checked, so the path is valid; what BlueZ answers does not matter.
        if (call) {
            const message_ptr answer(dbus_connection_send_with_reply_and_block(
                connection_.get(), call.get(), timeout_ms, error.get()));
        }
    }
}
