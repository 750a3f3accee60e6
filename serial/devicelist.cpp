#include "serial/devicelist.h"

#include "serial/comport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

namespace serial {

namespace {

const QString kPseudoTerminal = QStringLiteral("pseudo-terminal");

// "ttyS10" as ("ttyS", 10), so that a listing runs ttyS2, ttyS10 rather than ttyS10, ttyS2.
std::pair<QString, qlonglong> pathOrder(const QString& path) {
    static const QRegularExpression trailingNumber(QStringLiteral("^(.*?)(\\d+)$"));
    const QRegularExpressionMatch match = trailingNumber.match(path);
    if (!match.hasMatch())
        return {path, -1};
    return {match.captured(1), match.captured(2).toLongLong()};
}

// The UART type the kernel reports for a tty, when it reports one (sysfs "type", 0 for an
// empty slot).
std::optional<int> uartType(const QString& name, const DeviceTree& tree) {
    QFile type(QDir(tree.sysTtyDir).filePath(name + QStringLiteral("/type")));
    if (!type.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool ok = false;
    const int value = type.readAll().trimmed().toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

bool isUartSlot(const QString& name) {
    static const QRegularExpression slot(QStringLiteral("^ttyS\\d+$"));
    return slot.match(name).hasMatch();
}

// A tty the kernel knows with a device behind it: serial hardware, as opposed to a virtual
// console or /dev/tty, which have no "device" entry.
bool kernelSerialTty(const QString& name, const DeviceTree& tree) {
    return QFileInfo::exists(QDir(tree.sysTtyDir).filePath(name + QStringLiteral("/device")));
}

bool isPseudoTerminal(const QString& canonical, const DeviceTree& tree) {
    const QString pts =
        QFileInfo(QDir(tree.devDir).filePath(QStringLiteral("pts"))).canonicalFilePath();
    return !pts.isEmpty() && canonical.startsWith(pts + QLatin1Char('/'));
}

// The by-id names of the devices present, keyed by the device they lead to.
QHash<QString, QString> byIdNames(const DeviceTree& tree) {
    QHash<QString, QString> names;
    const QDir dir(tree.byIdDir);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        const QString device = entry.canonicalFilePath();
        if (!device.isEmpty() && !names.contains(device))
            names.insert(device, entry.absoluteFilePath());
    }
    return names;
}

SerialDevice deviceAt(const QString& canonical, QString description, const DeviceTree& tree) {
    SerialDevice device;
    device.port.path = canonical;
    device.port.description = std::move(description);
    device.byId = byIdNames(tree).value(canonical);
    device.access = tree.access(canonical);
    return device;
}

} // namespace

QList<PortInfo> systemPortInfo() {
    QList<PortInfo> ports;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        PortInfo port;
        port.path = info.systemLocation();
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        port.serialNumber = info.serialNumber();
        if (info.hasVendorIdentifier())
            port.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            port.productId = info.productIdentifier();
        ports.append(port);
    }
    return ports;
}

QList<SerialDevice> listSerialDevices(const QList<PortInfo>& ports, const DeviceTree& tree) {
    const QHash<QString, QString> byId = byIdNames(tree);
    QList<SerialDevice> devices;
    for (const PortInfo& port : ports) {
        const QString name = QFileInfo(port.path).fileName();
        if (isUartSlot(name) && uartType(name, tree) == 0)
            continue;
        SerialDevice device;
        device.port = port;
        device.byId = byId.value(QFileInfo(port.path).canonicalFilePath());
        device.access = tree.access(port.path);
        devices.append(device);
    }
    std::sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
        return pathOrder(a.port.path) < pathOrder(b.port.path);
    });
    return devices;
}

DeviceLookup lookUpDevice(const QString& path, const QList<SerialDevice>& devices,
                          const DeviceTree& tree) {
    DeviceLookup result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.state = info.isSymLink() ? DeviceState::Missing : DeviceState::Absent;
        result.path = info.isSymLink() ? info.symLinkTarget() : path;
        return result;
    }
    const QString canonical = info.canonicalFilePath();
    result.path = canonical;

    for (const SerialDevice& device : devices) {
        if (QFileInfo(device.port.path).canonicalFilePath() == canonical) {
            result.state = DeviceState::Present;
            result.path = device.port.path;
            result.device = device;
            return result;
        }
    }
    if (isPseudoTerminal(canonical, tree)) {
        result.state = DeviceState::Present;
        result.device = deviceAt(canonical, kPseudoTerminal, tree);
        return result;
    }
    const QString name = QFileInfo(canonical).fileName();
    if (isUartSlot(name)) {
        // Not listed: a UART only when the kernel says one answers there.
        const std::optional<int> type = uartType(name, tree);
        result.state = type.value_or(0) != 0 ? DeviceState::Present : DeviceState::NoUart;
    } else {
        result.state = kernelSerialTty(name, tree) ? DeviceState::Present : DeviceState::NotSerial;
    }
    if (result.state == DeviceState::Present)
        result.device = deviceAt(canonical, QString(), tree);
    return result;
}

ComPortTarget describeComPort(const QString& programDir, int port,
                              const QList<SerialDevice>& devices, const DeviceTree& tree) {
    ComPortTarget target;
    target.port = port;
    QString device = comPortDevice(programDir, port);
    const QString entry = comPortEntry(programDir, port);
    if (device == entry) {
        target.entry = entry;
        const QFileInfo info(entry);
        if (info.isSymLink())
            target.linkTarget = info.symLinkTarget();
    } else if (device.startsWith(QStringLiteral("/dev/"))) {
        device = QDir(tree.devDir).filePath(device.mid(5));
    }
    target.opens = lookUpDevice(device, devices, tree);
    return target;
}

} // namespace serial
