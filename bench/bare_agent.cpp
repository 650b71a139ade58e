// A bare libdbus pairing agent: the least an agent can cost, to compare pairgated with.
//
// It registers as BlueZ's agent and answers every org.bluez.Agent1 call at once
// from a blocking dispatch loop, as bt-agent or simple-agent do. With
// --timeout-ms 1 the loop wakes every millisecond instead, which is the least a
// polling design costs.
//
// usage: pairgate-bare-agent [--timeout-ms N]   (the bus: $DBUS_SYSTEM_BUS_ADDRESS)
#include <dbus/dbus.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *agent_path = "/org/pairgate/bench/agent";
constexpr const char *agent_interface = "org.bluez.Agent1";

// Methods whose answer must carry a value; the bare agent has none to give.
bool wants_value(DBusMessage *call) {
    return dbus_message_is_method_call(call, agent_interface, "RequestPinCode") ||
           dbus_message_is_method_call(call, agent_interface, "RequestPasskey");
}

DBusHandlerResult answer_agent_call(DBusConnection *connection, DBusMessage *call, void *) {
    const char *interface = dbus_message_get_interface(call);
    if (dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL || interface == nullptr ||
        strcmp(interface, agent_interface) != 0) {
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    }
    DBusMessage *reply =
        wants_value(call)
            ? dbus_message_new_error(call, "org.bluez.Error.Rejected", "no input on this agent")
            : dbus_message_new_method_return(call);
    if (reply == nullptr) {
        return DBUS_HANDLER_RESULT_NEED_MEMORY;
    }
    dbus_connection_send(connection, reply, nullptr);
    dbus_message_unref(reply);
    return DBUS_HANDLER_RESULT_HANDLED;
}

const DBusObjectPathVTable agent_vtable = {
    nullptr, answer_agent_call, nullptr, nullptr, nullptr, nullptr,
};

bool register_agent(DBusConnection *connection, DBusError *error) {
    if (!dbus_connection_register_object_path(connection, agent_path, &agent_vtable, nullptr)) {
        dbus_set_error_const(error, DBUS_ERROR_NO_MEMORY, "cannot export the agent object");
        return false;
    }
    DBusMessage *call = dbus_message_new_method_call("org.bluez", "/org/bluez",
                                                     "org.bluez.AgentManager1", "RegisterAgent");
    const char *path = agent_path;
    const char *capability = "NoInputNoOutput";
    if (call == nullptr ||
        !dbus_message_append_args(call, DBUS_TYPE_OBJECT_PATH, &path, DBUS_TYPE_STRING, &capability,
                                  DBUS_TYPE_INVALID)) {
        dbus_set_error_const(error, DBUS_ERROR_NO_MEMORY, "out of memory");
        return false;
    }
    DBusMessage *reply = dbus_connection_send_with_reply_and_block(connection, call, -1, error);
    dbus_message_unref(call);
    if (reply != nullptr) {
        dbus_message_unref(reply);
    }
    return reply != nullptr;
}

// -1 (block) unless "--timeout-ms N" is given; -2 on a usage error.
int dispatch_timeout(int argc, char **argv) {
    if (argc == 1) {
        return -1;
    }
    char *end = nullptr;
    const long value =
        argc == 3 && strcmp(argv[1], "--timeout-ms") == 0 ? strtol(argv[2], &end, 10) : -2;
    if (value < 0 || value > 60000 || end == nullptr || *end != '\0') {
        (void)fprintf(stderr, "usage: pairgate-bare-agent [--timeout-ms N]\n");
        return -2;
    }
    return static_cast<int>(value);
}

}  // namespace

int main(int argc, char **argv) {
    const int timeout_ms = dispatch_timeout(argc, argv);
    if (timeout_ms == -2) {
        return 2;
    }
    DBusError error;
    dbus_error_init(&error);
    DBusConnection *connection = dbus_bus_get(DBUS_BUS_SYSTEM, &error);
    if (connection == nullptr || !register_agent(connection, &error)) {
        (void)fprintf(stderr, "pairgate-bare-agent: %s\n",
                      error.message ? error.message : "failed");
        dbus_error_free(&error);
        return 1;
    }
    // Ends with the bus or by a signal; BlueZ forgets the agent with its connection.
    while (dbus_connection_read_write_dispatch(connection, timeout_ms)) {
    }
    return 0;
}
