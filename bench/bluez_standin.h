// The BlueZ stand-in: org.bluez with one adapter and one device, the agents
// registered per connection, and calls into the registered agent.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

#include "bench/bus.h"

namespace bench {

constexpr const char *standin_adapter_path = "/org/bluez/hci0";
constexpr const char *standin_device_path = "/org/bluez/hci0/dev_00_1A_7D_DA_71_13";
constexpr const char *standin_device_address = "00:1A:7D:DA:71:13";

// What the stand-in has seen, for the measurements to wait on.
struct standin_events {
    uint64_t registrations = 0;        // RegisterAgent calls accepted
    uint64_t plain_registrations = 0;  // of them, with the capability "NoInputNoOutput"
    clock::time_point last_plain_registration{};
    uint64_t property_sets = 0;
    uint64_t pairs = 0;
};

using reply_handler = std::function<void(DBusMessage *answer)>;

class bluez_standin {
  public:
    explicit bluez_standin(DBusConnection *connection);
    ~bluez_standin();
    bluez_standin(const bluez_standin &) = delete;
    bluez_standin &operator=(const bluez_standin &) = delete;

    // Owns org.bluez and follows connections that leave the bus.
    bool start(DBusError *error);

    // With CONFIRM, Pair asks the calling connection's agent for
    // RequestConfirmation(PASSKEY) and answers after it; without, at once.
    void ask_confirmation(bool confirm, dbus_uint32_t passkey);

    // Calls AuthorizeService(device, NAP) on the agent that the connection
    // OWNER registered; ON_ANSWER gets its answer. False when it has none.
    bool authorize_service(const std::string &owner, reply_handler on_answer);

    // The connection that registered an agent last, while that agent is registered.
    std::string last_agent_owner() const;
    // How many Properties.Set calls the connection OWNER has made.
    uint64_t sets_from(const std::string &owner) const;
    const standin_events &events() const { return events_; }

  private:
    struct agent_entry {
        std::string path;
        std::string capability;
    };
    using serve_fn = void (bluez_standin::*)(DBusMessage *call);
    struct method;

    static DBusHandlerResult filter(DBusConnection *, DBusMessage *message, void *self);
    static const method *find_method(DBusMessage *call);
    DBusHandlerResult handle_call(DBusMessage *call);
    DBusHandlerResult handle_answer(DBusMessage *answer);
    void forget_departed(DBusMessage *signal);
    bool call_agent(message_ptr call, reply_handler on_answer);

    void accept(DBusMessage *call);
    void get_managed_objects(DBusMessage *call);
    void register_agent(DBusMessage *call);
    void unregister_agent(DBusMessage *call);
    void set_property(DBusMessage *call);
    void pair(DBusMessage *call);

    DBusConnection *connection_;
    std::map<std::string, agent_entry> agents_;  // by the registering connection's unique name
    std::string last_owner_;
    std::map<std::string, uint64_t> sets_by_sender_;
    std::unordered_map<dbus_uint32_t, reply_handler> pending_;  // by the call's serial
    standin_events events_;
    bool confirm_ = true;
    dbus_uint32_t passkey_ = 42;
};

}  // namespace bench
