#pragma once

#include "serial/deviceaccess.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace serial {

// The ports the window's "串口号" list offers: COM1 … COM16.
inline constexpr int kWindowComPorts = 16;

// What the system says about one serial device.
struct PortInfo {
    std::string path;                      // the device node, e.g. /dev/ttyUSB0
    std::string description;               // e.g. "FT232R USB UART"; empty for most built-in UARTs
    std::string manufacturer;              // e.g. "FTDI"
    std::string serialNumber;              // e.g. "A50285BI"
    std::optional<std::uint16_t> vendorId; // USB ids, for a device on USB
    std::optional<std::uint16_t> productId;
};

// Where devices are looked up. The defaults are the machine's own; tests point them at a made-up
// tree and replace the access check.
struct DeviceTree {
    std::string devDir = "/dev";
    std::string byIdDir = "/dev/serial/by-id";
    std::string sysTtyDir = "/sys/class/tty"; // the kernel's facts about each tty
    std::function<DeviceAccess(const std::string&)> access = checkDeviceAccess;
};

// The machine's serial devices now, in name order. On Linux, from the kernel's facts under
// tree.sysTtyDir: every tty with hardware behind it (a "device" entry), named in tree.devDir,
// except a motherboard UART slot with no UART behind it; a device on USB with its ids, serial
// number, product name as its description and manufacturer. On Windows, the system's COM ports
// (the tree is not used there).
std::vector<PortInfo> systemPortInfo(const DeviceTree& tree = {});

// One serial device: the system's facts, its stable name, and whether this user may open it.
struct SerialDevice {
    PortInfo port;
    std::string byId; // its name under /dev/serial/by-id, which follows the adapter from socket
                      // to socket; empty when it has none
    DeviceAccess access;
};

// The serial devices among `ports`, each with its by-id name and access, in path order
// (ttyS2 before ttyS10). A motherboard UART slot with no UART behind it is left out.
std::vector<SerialDevice> listSerialDevices(const std::vector<PortInfo>& ports,
                                            const DeviceTree& tree = {});

// What a path leads to once links are followed.
enum class DeviceState {
    Present,   // a serial device that is there; its access says whether this user may open it
    Missing,   // a link whose target has gone: an adapter that is not plugged in
    NoUart,    // a motherboard UART slot with no UART behind it, so nothing ever answers
    Absent,    // nothing at all by that name
    NotSerial, // something that is not a serial device
};

struct DeviceLookup {
    DeviceState state = DeviceState::Absent;
    // The device itself when present (and for NoUart and NotSerial); the link's target when
    // missing; the path asked about when absent.
    std::string path;
    SerialDevice device; // when present
};

// A path counts as a serial device when `devices` lists it, when it is a pseudo-terminal (the
// simulated sensor), or when the kernel has a tty with hardware behind it by that name. A
// ttyS<n> is a motherboard UART slot: the serial driver registers a few of them whether or not a
// UART answers there, and reports the UART type of an empty one as 0 ("unknown"); read from
// sysfs, it needs no permission to open the device. Without sysfs, a ttyS that is not listed
// counts as empty. On Windows, a path is present when it names a listed port (\\.\COM3 or COM3).
DeviceLookup lookUpDevice(const std::string& path, const std::vector<SerialDevice>& devices,
                          const DeviceTree& tree = {});

// What COMn opens for the window.
struct ComPortTarget {
    int port = 0;
    std::string entry;      // the COMn entry in the program's directory, when that is what opens
    std::string linkTarget; // where that entry links, when it is a link
    DeviceLookup opens;
};

// Resolves COMn as the window does (serial::comPortDevice) and says what it leads to. The
// platform's own device is looked up in tree.devDir.
ComPortTarget describeComPort(const std::string& programDir, int port,
                              const std::vector<SerialDevice>& devices,
                              const DeviceTree& tree = {});

} // namespace serial
