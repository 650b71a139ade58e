// The D-Bus names of BlueZ that the daemon and the client use, each written
// once.
#pragma once

inline constexpr const char *bluez_service = "org.bluez";

inline constexpr const char *object_manager_path = "/";
inline constexpr const char *object_manager_interface = "org.freedesktop.DBus.ObjectManager";

inline constexpr const char *adapter_interface = "org.bluez.Adapter1";
inline constexpr const char *device_interface = "org.bluez.Device1";

inline constexpr const char *agent_manager_path = "/org/bluez";
inline constexpr const char *agent_manager_interface = "org.bluez.AgentManager1";
inline constexpr const char *agent_interface = "org.bluez.Agent1";
inline constexpr const char *agent_object_path = "/org/bluez/agent_router";
