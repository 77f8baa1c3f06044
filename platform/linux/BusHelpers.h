// What every user of the system bus needs besides the calls themselves
// (BlueZ, logind, the --check probe): where the bus is, and typed reads of
// the properties that objects come with.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "platform/linux/DBus.h"

namespace orvex::dbus {

using Properties = std::map<std::string, sdbus::Variant>;

// The property's value when it is there and of type T.
template <typename T>
bool Get(const Properties& properties, const char* name, T* out) {
    auto it = properties.find(name);
    if (it == properties.end()) return false;
    try {
        *out = it->second.get<T>();
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

// The given address, else DBUS_SYSTEM_BUS_ADDRESS, else the system bus's
// usual socket.
inline std::string SystemBusAddress(const std::string& given) {
    if (!given.empty()) return given;
    const char* system = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return system && *system ? system : "unix:path=/run/dbus/system_bus_socket";
}

// The socket file of a "unix:path=..." address (its first entry), else "".
inline std::string UnixSocketOf(const std::string& address) {
    const std::string prefix = "unix:path=";
    if (address.compare(0, prefix.size(), prefix) != 0) return "";
    const size_t end = address.find_first_of(",;", prefix.size());
    return address.substr(prefix.size(), end == std::string::npos ? std::string::npos : end - prefix.size());
}

}  // namespace orvex::dbus
