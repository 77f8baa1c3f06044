// What the BlueZ backend and the --check probe both need of BlueZ: its name
// on the system bus and the shape of the objects it lists.
#pragma once

#include <map>
#include <string>

#include "platform/linux/BusHelpers.h"
#include "platform/linux/DBus.h"

namespace orvex::bluez {

// BlueZ's name on the bus, and the interface that lists its objects.
constexpr const char* kBluez = "org.bluez";
constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";

using dbus::Get;
using dbus::Properties;
using dbus::SystemBusAddress;
using dbus::UnixSocketOf;
using Interfaces = std::map<std::string, Properties>;
using ManagedObjects = std::map<sdbus::ObjectPath, Interfaces>;

}  // namespace orvex::bluez
