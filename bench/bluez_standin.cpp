// The BlueZ stand-in: org.bluez with one adapter and one device, the agents
// registered per connection, and calls into the registered agent.
#include "bench/bluez_standin.h"

#include <cstring>
#include <utility>

#include "bench/managed_objects.h"

namespace bench {

namespace {

constexpr const char *agent_manager_interface = "org.bluez.AgentManager1";
constexpr const char *adapter_interface = "org.bluez.Adapter1";
constexpr const char *device_interface = "org.bluez.Device1";
constexpr const char *agent_interface = "org.bluez.Agent1";
constexpr const char *properties_interface = "org.freedesktop.DBus.Properties";
constexpr const char *object_manager_interface = "org.freedesktop.DBus.ObjectManager";
constexpr const char *nap_uuid = "00001116-0000-1000-8000-00805f9b34fb";
constexpr const char *owner_rule =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged'";

const char *text_or_empty(const char *text) {
    return text != nullptr ? text : "";
}

}  // namespace

struct bluez_standin::method {
    const char *path;
    const char *interface;
    const char *member;
    const char *signature;
    serve_fn serve;
};

bluez_standin::bluez_standin(DBusConnection *connection) : connection_(connection) {}

bluez_standin::~bluez_standin() {
    dbus_connection_remove_filter(connection_, filter, this);
}

bool bluez_standin::start(DBusError *error) {
    if (!dbus_connection_add_filter(connection_, filter, this, nullptr)) {
        dbus_set_error_const(error, DBUS_ERROR_NO_MEMORY, "out of memory");
        return false;
    }
    dbus_bus_add_match(connection_, owner_rule, error);
    if (dbus_error_is_set(error)) {
        return false;
    }
    const int result =
        dbus_bus_request_name(connection_, "org.bluez", DBUS_NAME_FLAG_DO_NOT_QUEUE, error);
    if (result != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER && !dbus_error_is_set(error)) {
        dbus_set_error_const(error, DBUS_ERROR_FAILED, "org.bluez is owned by another client");
    }
    return !dbus_error_is_set(error);
}

void bluez_standin::ask_confirmation(bool confirm, dbus_uint32_t passkey) {
    confirm_ = confirm;
    passkey_ = passkey;
}

std::string bluez_standin::last_agent_owner() const {
    return agents_.count(last_owner_) != 0 ? last_owner_ : std::string();
}

bool bluez_standin::authorize_service(const std::string &owner, reply_handler on_answer) {
    const auto agent = agents_.find(owner);
    if (agent == agents_.end()) {
        return false;
    }
    message_ptr call(dbus_message_new_method_call(owner.c_str(), agent->second.path.c_str(),
                                                  agent_interface, "AuthorizeService"));
    const char *device = standin_device_path;
    const char *uuid = nap_uuid;
    if (!call || !dbus_message_append_args(call.get(), DBUS_TYPE_OBJECT_PATH, &device,
                                           DBUS_TYPE_STRING, &uuid, DBUS_TYPE_INVALID)) {
        return false;
    }
    return call_agent(std::move(call), std::move(on_answer));
}

bool bluez_standin::call_agent(message_ptr call, reply_handler on_answer) {
    dbus_uint32_t serial = 0;
    if (!dbus_connection_send(connection_, call.get(), &serial)) {
        return false;
    }
    pending_[serial] = std::move(on_answer);
    return true;
}

DBusHandlerResult bluez_standin::filter(DBusConnection *, DBusMessage *message, void *self) {
    auto *standin = static_cast<bluez_standin *>(self);
    switch (dbus_message_get_type(message)) {
        case DBUS_MESSAGE_TYPE_METHOD_CALL:
            return standin->handle_call(message);
        case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        case DBUS_MESSAGE_TYPE_ERROR:
            return standin->handle_answer(message);
        default:
            if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged")) {
                standin->forget_departed(message);
            }
            return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
}

const bluez_standin::method *bluez_standin::find_method(DBusMessage *call) {
    static const method methods[] = {
        {"/", object_manager_interface, "GetManagedObjects", "",
         &bluez_standin::get_managed_objects},
        {"/org/bluez", agent_manager_interface, "RegisterAgent", "os",
         &bluez_standin::register_agent},
        {"/org/bluez", agent_manager_interface, "UnregisterAgent", "o",
         &bluez_standin::unregister_agent},
        {"/org/bluez", agent_manager_interface, "RequestDefaultAgent", "o", &bluez_standin::accept},
        {standin_adapter_path, adapter_interface, "StartDiscovery", "", &bluez_standin::accept},
        {standin_adapter_path, adapter_interface, "StopDiscovery", "", &bluez_standin::accept},
        {standin_adapter_path, properties_interface, "Set", "ssv", &bluez_standin::set_property},
        {standin_device_path, properties_interface, "Set", "ssv", &bluez_standin::set_property},
        {standin_device_path, device_interface, "Pair", "", &bluez_standin::pair},
    };
    for (const method &candidate : methods) {
        if (dbus_message_has_path(call, candidate.path) &&
            dbus_message_is_method_call(call, candidate.interface, candidate.member)) {
            return &candidate;
        }
    }
    return nullptr;
}

// Unknown methods are left to libdbus, which answers them with an error.
DBusHandlerResult bluez_standin::handle_call(DBusMessage *call) {
    const method *found = find_method(call);
    if (found == nullptr) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    if (!dbus_message_has_signature(call, found->signature)) {
        send_error(connection_, call, "org.bluez.Error.InvalidArguments", "Invalid arguments");
    } else {
        (this->*found->serve)(call);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

DBusHandlerResult bluez_standin::handle_answer(DBusMessage *answer) {
    const auto pending = pending_.find(dbus_message_get_reply_serial(answer));
    if (pending == pending_.end()) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    const reply_handler on_answer = std::move(pending->second);
    pending_.erase(pending);
    on_answer(answer);
    return DBUS_HANDLER_RESULT_HANDLED;
}

// Like BlueZ, forgets the agent of a connection that has left the bus.
void bluez_standin::forget_departed(DBusMessage *signal) {
    const char *name = nullptr;
    const char *old_owner = nullptr;
    const char *new_owner = nullptr;
    if (dbus_message_get_args(signal, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                              &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID) &&
        new_owner[0] == '\0') {
        agents_.erase(name);
    }
}

void bluez_standin::accept(DBusMessage *call) {
    send_return(connection_, call);
}

void bluez_standin::get_managed_objects(DBusMessage *call) {
    message_ptr reply = managed_objects_reply(call);
    if (reply) {
        dbus_connection_send(connection_, reply.get(), nullptr);
    }
}

void bluez_standin::register_agent(DBusMessage *call) {
    const std::string owner = text_or_empty(dbus_message_get_sender(call));
    const char *path = nullptr;
    const char *capability = nullptr;
    (void)dbus_message_get_args(call, nullptr, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_STRING,
                                &capability, DBUS_TYPE_INVALID);
    if (agents_.count(owner) != 0) {
        send_error(connection_, call, "org.bluez.Error.AlreadyExists", "Already Exists");
        return;
    }
    agents_[owner] = {path, capability};
    last_owner_ = owner;
    ++events_.registrations;
    if (strcmp(capability, "NoInputNoOutput") == 0) {
        ++events_.plain_registrations;
        events_.last_plain_registration = clock::now();
    }
    send_return(connection_, call);
}

void bluez_standin::unregister_agent(DBusMessage *call) {
    const std::string owner = text_or_empty(dbus_message_get_sender(call));
    const char *path = nullptr;
    (void)dbus_message_get_args(call, nullptr, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_INVALID);
    const auto agent = agents_.find(owner);
    if (agent == agents_.end() || agent->second.path != path) {
        send_error(connection_, call, "org.bluez.Error.DoesNotExist", "Does Not Exist");
        return;
    }
    agents_.erase(agent);
    send_return(connection_, call);
}

uint64_t bluez_standin::sets_from(const std::string &owner) const {
    const auto found = sets_by_sender_.find(owner);
    return found != sets_by_sender_.end() ? found->second : 0;
}

void bluez_standin::set_property(DBusMessage *call) {
    ++events_.property_sets;
    ++sets_by_sender_[text_or_empty(dbus_message_get_sender(call))];
    send_return(connection_, call);
}

// Like BlueZ, asks the agent of the connection that called Pair.
void bluez_standin::pair(DBusMessage *call) {
    ++events_.pairs;
    const std::string owner = text_or_empty(dbus_message_get_sender(call));
    const auto agent = agents_.find(owner);
    if (!confirm_ || agent == agents_.end()) {
        send_return(connection_, call);
        return;
    }
    message_ptr question(dbus_message_new_method_call(owner.c_str(), agent->second.path.c_str(),
                                                      agent_interface, "RequestConfirmation"));
    const char *device = standin_device_path;
    if (!question || !dbus_message_append_args(question.get(), DBUS_TYPE_OBJECT_PATH, &device,
                                               DBUS_TYPE_UINT32, &passkey_, DBUS_TYPE_INVALID)) {
        send_error(connection_, call, "org.bluez.Error.Failed", "out of memory");
        return;
    }
    const shared_message held = share_message(call);
    const bool asked = call_agent(std::move(question), [this, held](DBusMessage *answer) {
        if (dbus_message_get_type(answer) == DBUS_MESSAGE_TYPE_ERROR) {
            send_error(connection_, held.get(), "org.bluez.Error.AuthenticationRejected",
                       "Authentication Rejected");
        } else {
            send_return(connection_, held.get());
        }
    });
    if (!asked) {
        send_error(connection_, call, "org.bluez.Error.Failed", "out of memory");
    }
}

}  // namespace bench
