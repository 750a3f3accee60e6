#pragma once

#include "platform/json.h"
#include "serial/devicelist.h"

#include <string>

namespace serial {

// The facts that tell a person which device this is: "FT232R USB UART (0403:6001, A50285BI)";
// "serial port" when the system knows nothing more.
std::string deviceFacts(const SerialDevice& device);

// Whether this user may open the device: "ok", "no permission (group dialout)", "gone".
std::string accessText(const DeviceAccess& access);

// What COMn opens, in one phrase: "/dev/ttyUSB0 — FT232R USB UART (0403:6001, A50285BI)",
// "/dev/ttyS0 — no device", "/dev/serial/by-id/usb-FTDI… — not plugged in",
// "/dev/ttyUSB1 — no permission (group dialout)". The window's "串口号" items carry it as their
// tooltip.
std::string comPortSummary(const ComPortTarget& target);

// One line of a device listing:
// "/dev/ttyUSB0  FT232R USB UART, FTDI (0403:6001, A50285BI)  by-id /dev/serial/by-id/…  ok".
std::string deviceLine(const SerialDevice& device);

// One line of the COM1-COM16 listing: "COM3  <summary>", then "  [link to …]" when COMn is a
// link beside the program, or "  [entry …]" when it is some other entry there.
std::string comPortLine(const ComPortTarget& target);

// The same as JSON objects, for one object per line. Absent facts are null; ids are four hex
// digits ("0403").
json::Value deviceJson(const SerialDevice& device);
json::Value comPortJson(const ComPortTarget& target);

} // namespace serial
