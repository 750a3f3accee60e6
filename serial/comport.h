#pragma once

#include <QString>

namespace serial {

// The device behind port number n (COMn), as the window and the command line both resolve it:
// the entry "COMn" in the program's directory when there is one (normally a link to
// /dev/ttyUSB0, a /dev/serial/by-id name or a pseudo-terminal), otherwise the platform's n-th
// port: /dev/ttyS{n-1} on Linux, COMn on Windows. A dangling link still counts as the entry, so
// a vanished device is reported as such rather than silently replaced by a motherboard UART.
QString comPortDevice(const QString& programDir, int port);

// The entry a COMn link occupies in the program's directory.
QString comPortEntry(const QString& programDir, int port);

} // namespace serial
