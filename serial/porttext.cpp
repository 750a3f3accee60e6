#include "serial/porttext.h"

#include <QDir>
#include <QJsonValue>
#include <QStringList>

namespace serial {

namespace {

const QString kDash = QStringLiteral(" — ");

QString hexId(quint16 id) {
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

QJsonValue textOrNull(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue idOrNull(const std::optional<quint16>& id) {
    return id ? QJsonValue(hexId(*id)) : QJsonValue(QJsonValue::Null);
}

QString stateName(DeviceState state) {
    switch (state) {
    case DeviceState::Present:
        return QStringLiteral("present");
    case DeviceState::Missing:
        return QStringLiteral("missing");
    case DeviceState::NoUart:
        return QStringLiteral("no-uart");
    case DeviceState::Absent:
        return QStringLiteral("absent");
    case DeviceState::NotSerial:
        return QStringLiteral("not-serial");
    }
    return {};
}

QString accessName(DeviceAccess::State state) {
    switch (state) {
    case DeviceAccess::State::Ok:
        return QStringLiteral("ok");
    case DeviceAccess::State::NoPermission:
        return QStringLiteral("no-permission");
    case DeviceAccess::State::NotFound:
        return QStringLiteral("not-found");
    }
    return {};
}

} // namespace

QString deviceFacts(const SerialDevice& device) {
    const PortInfo& port = device.port;
    QStringList ids;
    if (port.vendorId && port.productId)
        ids << hexId(*port.vendorId) + QLatin1Char(':') + hexId(*port.productId);
    if (!port.serialNumber.isEmpty())
        ids << port.serialNumber;
    QString facts = port.description.isEmpty() ? QStringLiteral("serial port") : port.description;
    if (!ids.isEmpty())
        facts += QStringLiteral(" (") + ids.join(QStringLiteral(", ")) + QLatin1Char(')');
    return facts;
}

QString accessText(const DeviceAccess& access) {
    switch (access.state) {
    case DeviceAccess::State::Ok:
        return QStringLiteral("ok");
    case DeviceAccess::State::NoPermission:
        return access.group.isEmpty()
                   ? QStringLiteral("no permission")
                   : QStringLiteral("no permission (group %1)").arg(access.group);
    case DeviceAccess::State::NotFound:
        return QStringLiteral("gone");
    }
    return {};
}

QString comPortSummary(const ComPortTarget& target) {
    const DeviceLookup& opens = target.opens;
    switch (opens.state) {
    case DeviceState::Present:
        // Whether it opens matters more than what it is: a device this user may not open is
        // the usual reason a port stays silent.
        if (opens.device.access.state != DeviceAccess::State::Ok)
            return opens.path + kDash + accessText(opens.device.access);
        return opens.path + kDash + deviceFacts(opens.device);
    case DeviceState::Missing:
        return opens.path + kDash + QStringLiteral("not plugged in");
    case DeviceState::NoUart:
        return opens.path + kDash + QStringLiteral("no device");
    case DeviceState::Absent:
        return opens.path + kDash + QStringLiteral("no such device");
    case DeviceState::NotSerial:
        return opens.path + kDash + QStringLiteral("not a serial device");
    }
    return {};
}

QString deviceLine(const SerialDevice& device) {
    QString line = device.port.path + QStringLiteral("  ") + deviceFacts(device);
    if (!device.port.manufacturer.isEmpty())
        line += QStringLiteral("  manufacturer: ") + device.port.manufacturer;
    if (!device.byId.isEmpty())
        line += QStringLiteral("  by-id: ") + device.byId;
    return line + QStringLiteral("  access: ") + accessText(device.access);
}

QString comPortLine(const ComPortTarget& target) {
    QString line = QStringLiteral("COM%1  ").arg(target.port) + comPortSummary(target);
    if (!target.linkTarget.isEmpty())
        line += QStringLiteral("  [link to ") + target.linkTarget + QLatin1Char(']');
    else if (!target.entry.isEmpty())
        line +=
            QStringLiteral("  [entry ") + QDir::toNativeSeparators(target.entry) + QLatin1Char(']');
    return line;
}

QJsonObject deviceJson(const SerialDevice& device) {
    const PortInfo& port = device.port;
    return {
        {QStringLiteral("path"), port.path},
        {QStringLiteral("by_id"), textOrNull(device.byId)},
        {QStringLiteral("description"), textOrNull(port.description)},
        {QStringLiteral("manufacturer"), textOrNull(port.manufacturer)},
        {QStringLiteral("vendor_id"), idOrNull(port.vendorId)},
        {QStringLiteral("product_id"), idOrNull(port.productId)},
        {QStringLiteral("serial_number"), textOrNull(port.serialNumber)},
        {QStringLiteral("access"), accessName(device.access.state)},
        {QStringLiteral("group"), textOrNull(device.access.group)},
    };
}

QJsonObject comPortJson(const ComPortTarget& target) {
    const DeviceLookup& opens = target.opens;
    return {
        {QStringLiteral("port"), QStringLiteral("COM%1").arg(target.port)},
        {QStringLiteral("opens"), opens.path},
        {QStringLiteral("state"), stateName(opens.state)},
        {QStringLiteral("entry"), textOrNull(target.entry)},
        {QStringLiteral("link_target"), textOrNull(target.linkTarget)},
        {QStringLiteral("device"), opens.state == DeviceState::Present
                                       ? QJsonValue(deviceJson(opens.device))
                                       : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("summary"), comPortSummary(target)},
    };
}

} // namespace serial
