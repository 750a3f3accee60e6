#pragma once

#include <string>

namespace serial {

// The device behind port number n (COMn), as the window and the command line both resolve it.
// On Linux: the entry "COMn" in the program's directory when there is one (normally a link to
// /dev/ttyUSB0, a /dev/serial/by-id name or a pseudo-terminal), otherwise /dev/ttyS{n-1}. A
// dangling link still counts as the entry, so a vanished device is reported as such rather than
// silently replaced by a motherboard UART. On Windows, where COMn names the system's own port in
// every directory, always the system's port: \\.\COMn (a name that opens COM10 and above too).
std::string comPortDevice(const std::string& programDir, int port);

// The entry a COMn link occupies in the program's directory.
std::string comPortEntry(const std::string& programDir, int port);

} // namespace serial
