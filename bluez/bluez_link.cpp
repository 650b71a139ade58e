// What the daemon knows of BlueZ: its owner and the adapter.
#include "bluez/bluez_link.h"

#include <cstring>
#include <utility>

#include "bluez/bluez_calls.h"
#include "bluez/device_pairings.h"
#include "common/bluez_names.h"
#include "common/errors.h"
#include "common/managed_objects.h"
#include "common/text_copy.h"

namespace {

// The bus answers at once; a short limit keeps a troubled bus from stalling
// the loop for libdbus's default 25 s.
constexpr int owner_lookup_timeout_ms = 1000;

constexpr std::size_t bus_name_max = 255;

struct link_state {
    char owner[bus_name_max + 1] = "";  // unique name of the owner of "org.bluez", as last seen
    bool present = true;                // "org.bluez" has an owner
    char adapter[adapter_path_max + 1] = "";
};
link_state bluez;

void remember_owner(const char *unique_name) {
    copy_cut(bluez.owner, unique_name != nullptr ? unique_name : "");
}

}  // namespace

bool refresh_bluez_owner(DBusConnection *connection) {
    message_ptr call = adopt_message(dbus_message_new_method_call(
        DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "GetNameOwner"));
    const char *name = bluez_service;
    if (!call ||
        !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) {
        return false;
    }
    error_guard error;
    message_ptr reply = adopt_message(dbus_connection_send_with_reply_and_block(
        connection, call.get(), owner_lookup_timeout_ms, error.get()));
    const char *owner = nullptr;
    if (!reply ||
        !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID)) {
        return false;
    }
    remember_owner(owner);
    return true;
}

void note_bluez_owner(const char *unique_name) {
    bluez.present = true;
    remember_owner(unique_name);
}

void note_bluez_away() {
    bluez.present = false;
    remember_owner(nullptr);
    forget_adapter();
}

bool bluez_present() {
    return bluez.present;
}

bool sent_by_bluez(DBusMessage *message) {
    // The owner is followed through NameOwnerChanged, which the bus sends
    // before any message of a new owner: a sender that differs is not BlueZ,
    // and costs no round trip (a local flood of forged signals would
    // otherwise hold every answer of the agent behind look-ups).
    const char *sender = dbus_message_get_sender(message);
    return sender != nullptr && bluez.present && strcmp(sender, bluez.owner) == 0;
}

bool bluez_owner_is(DBusConnection *connection, const char *unique_name) {
    return refresh_bluez_owner(connection) && strcmp(bluez.owner, unique_name) == 0;
}

bool select_adapter(DBusConnection *connection, error_guard &error, object_paths &others) {
    forget_adapter();
    others.clear();
    message_ptr request = managed_objects_call(error);
    if (!request) {
        return false;
    }
    message_ptr reply = adopt_message(dbus_connection_send_with_reply_and_block(
        connection, request.get(), bluez_timeout_ms(), error.get()));
    request.reset();
    if (!reply) {
        return false;
    }
    remember_owner(dbus_message_get_sender(reply.get()));
    object_list_read objects = read_object_list(reply.get());
    adopt_adapter(objects.adapter);
    // Noted once the adapter is known, whatever the order of the list.
    for (const std::string &device : objects.paired_devices) {
        note_device_pairing(device.c_str(), pairing_began::before);
    }
    others = std::move(objects.other_adapters);
    return adapter_selected();
}

const char *adapter_path() {
    return bluez.adapter;
}

bool adapter_selected() {
    return bluez.adapter[0] != '\0';
}

bool on_selected_adapter(const char *object_path) {
    const size_t length = strlen(bluez.adapter);
    return length > 0 && object_path != nullptr &&
           strncmp(object_path, bluez.adapter, length) == 0 && object_path[length] == '/';
}

void adopt_adapter(const char *path) {
    copy_cut(bluez.adapter, path);
}

void forget_adapter() {
    bluez.adapter[0] = '\0';
    forget_device_pairings();
}

bool adapter_call(DBusConnection *connection, error_guard &error, const char *method) {
    message_ptr call = bluez_method_call(bluez.adapter, adapter_interface, method, error);
    return call && bluez_call(connection, std::move(call), error);
}

const char *pairing_unavailable() {
    if (!bluez.present) {
        return "BlueZ is not on the system bus";
    }
    if (!adapter_selected()) {
        return "no adapter is present";
    }
    if (agent_registered_as() == agent_registration::none) {
        return "the agent is not registered with BlueZ";
    }
    return nullptr;
}
