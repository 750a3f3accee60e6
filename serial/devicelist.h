#pragma once

#include "serial/deviceaccess.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace serial {

// The ports the window's "串口号" list offers: COM1 … COM16.
inline constexpr int kWindowComPorts = 16;

// What Qt's port information says about one serial device.
struct PortInfo {
    QString path;                    // the device node, e.g. /dev/ttyUSB0
    QString description;             // e.g. "FT232R USB UART"; empty for most built-in UARTs
    QString manufacturer;            // e.g. "FTDI"
    QString serialNumber;            // e.g. "A50285BI"
    std::optional<quint16> vendorId; // USB ids, for a device on USB
    std::optional<quint16> productId;
};

// The machine's serial devices as Qt's port information lists them now.
QList<PortInfo> systemPortInfo();

// Where devices are looked up. The defaults are the machine's own; tests point them at a made-up
// tree and replace the access check.
struct DeviceTree {
    QString devDir = QStringLiteral("/dev");
    QString byIdDir = QStringLiteral("/dev/serial/by-id");
    QString sysTtyDir = QStringLiteral("/sys/class/tty"); // the kernel's facts about each tty
    std::function<DeviceAccess(const QString&)> access = checkDeviceAccess;
};

// One serial device: Qt's facts, its stable name, and whether this user may open it.
struct SerialDevice {
    PortInfo port;
    QString byId; // its name under /dev/serial/by-id, which follows the adapter from socket to
                  // socket; empty when it has none
    DeviceAccess access;
};

// The serial devices among `ports`, each with its by-id name and access, in path order
// (ttyS2 before ttyS10). A motherboard UART slot with no UART behind it is left out.
QList<SerialDevice> listSerialDevices(const QList<PortInfo>& ports, const DeviceTree& tree = {});

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
    QString path;
    SerialDevice device; // when present
};

// A path counts as a serial device when Qt's port information lists it, when it is a
// pseudo-terminal (the simulated sensor), or when the kernel has a tty with hardware behind it
// by that name. A ttyS<n> is a motherboard UART slot: the serial driver registers a few of them
// whether or not a UART answers there, and reports the UART type of an empty one as 0
// ("unknown"), the same fact Qt reads before it lists a ttyS; read from sysfs, it needs no
// permission to open the device. Without sysfs, a ttyS that Qt does not list counts as empty.
DeviceLookup lookUpDevice(const QString& path, const QList<SerialDevice>& devices,
                          const DeviceTree& tree = {});

// What COMn opens for the window.
struct ComPortTarget {
    int port = 0;
    QString entry;      // the COMn entry in the program's directory, when that is what opens
    QString linkTarget; // where that entry links, when it is a link
    DeviceLookup opens;
};

// Resolves COMn as the window does (serial::comPortDevice) and says what it leads to. The
// platform's own device is looked up in tree.devDir.
ComPortTarget describeComPort(const QString& programDir, int port,
                              const QList<SerialDevice>& devices, const DeviceTree& tree = {});

} // namespace serial
