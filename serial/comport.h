#pragma once

#include <string>

namespace serial {

// The device behind port number n (COMn), as the window and the command line both resolve it.
// On Linux: the entry "COMn" when there is one (normally a link to /dev/ttyUSB0, a
// /dev/serial/by-id name or a pseudo-terminal), in the program's directory or, when that cannot
// be written, in the user's folder first (serial/settingsfolder.h), otherwise /dev/ttyS{n-1}. A
// dangling link still counts as the entry, so a vanished device is reported as such rather than
// silently replaced by a motherboard UART. On Windows, where COMn names the system's own port in
// every directory, always the system's port: \\.\COMn (a name that opens COM10 and above too).
std::string comPortDevice(const std::string& programDir, int port);

// The entry COMn is read from: in the program's directory, or in the user's folder when the
// program's cannot be written and the user's holds COMn (serial/settingsfolder.h).
std::string comPortEntry(const std::string& programDir, int port);

// COMn's name inside a folder: "dir/COMn".
std::string comPortEntryIn(const std::string& folder, int port);

} // namespace serial
