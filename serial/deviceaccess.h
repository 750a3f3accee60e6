#pragma once

#include <string>

namespace serial {

// Whether this user may open a serial device, and when not, why: the first question when a port
// will not open, and what the device lists show beside each device.
struct DeviceAccess {
    enum class State {
        Ok,           // present, and readable and writable by this user
        NotFound,     // no such device (or a link whose target has gone)
        NoPermission, // present, but this user may not read and write it
    };
    State state = State::NotFound;
    std::string group; // the device's group, named when it is known (e.g. "dialout")
};

// Follows links (a COMn entry, a /dev/serial/by-id name) to the device itself. On Windows, which
// has no device groups, always Ok: whether a COM port opens is only known by opening it.
DeviceAccess checkDeviceAccess(const std::string& path);

// What to do about a device this user may not open, for a message: names the group and the
// command that adds the user to it, e.g. "sudo adduser $USER dialout, then log out and in again".
std::string permissionAdvice(const std::string& group);

} // namespace serial
