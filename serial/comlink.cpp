#include "serial/comlink.h"

#include "serial/comport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>
#include <utility>

namespace serial {

namespace {

LinkResult refused(LinkResult result, LinkResult::Outcome outcome, const QString& message) {
    result.outcome = outcome;
    result.message = message;
    return result;
}

// Whether anything, even a dangling link, occupies a path.
bool occupied(const QFileInfo& entry) {
    return entry.exists() || entry.isSymLink();
}

// Points result.entry at result.target: made when the entry is free, replaced in one step when
// `force` allows, so that COMn never goes missing in between.
LinkResult placeLink(LinkResult result, bool force) {
    const QFileInfo entry(result.entry);
    if (occupied(entry) && !force)
        return refused(result, LinkResult::Outcome::EntryExists,
                       QStringLiteral("%1 already exists; --force replaces it")
                           .arg(QDir::toNativeSeparators(result.entry)));
    if (!occupied(entry)) {
        if (!QFile::link(result.target, result.entry))
            return refused(result, LinkResult::Outcome::Failed,
                           QStringLiteral("cannot create %1").arg(result.entry));
        result.outcome = LinkResult::Outcome::Done;
        return result;
    }

    const QString fresh = result.entry + QStringLiteral(".new");
    QFile::remove(fresh);
    if (!QFile::link(result.target, fresh))
        return refused(result, LinkResult::Outcome::Failed,
                       QStringLiteral("cannot create %1").arg(fresh));
    if (std::rename(QFile::encodeName(fresh).constData(),
                    QFile::encodeName(result.entry).constData()) != 0) {
        QFile::remove(fresh);
        return refused(result, LinkResult::Outcome::Failed,
                       QStringLiteral("cannot replace %1").arg(result.entry));
    }
    result.outcome = LinkResult::Outcome::Done;
    return result;
}

} // namespace

std::optional<int> parseComPortName(const QString& text) {
    static const QRegularExpression name(QStringLiteral("^(?:COM)?([0-9]{1,3})$"),
                                         QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = name.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    const int port = match.captured(1).toInt();
    if (port < 1 || port > 255)
        return std::nullopt;
    return port;
}

LinkResult linkComPort(const QString& programDir, int port, const QString& device, bool force,
                       const QList<SerialDevice>& devices, const DeviceTree& tree) {
    LinkResult result;
    result.entry = comPortEntry(programDir, port);

    // A bare name such as "ttyUSB0" is a device in the device directory.
    const QString path =
        device.contains(QLatin1Char('/')) ? device : QDir(tree.devDir).filePath(device);
    const DeviceLookup found = lookUpDevice(QFileInfo(path).absoluteFilePath(), devices, tree);
    switch (found.state) {
    case DeviceState::Present:
        break;
    case DeviceState::Missing:
    case DeviceState::Absent:
        return refused(result, LinkResult::Outcome::NoSuchDevice,
                       QStringLiteral("no such device: %1").arg(device));
    case DeviceState::NoUart:
        return refused(
            result, LinkResult::Outcome::NotSerial,
            QStringLiteral("%1 is a serial port with no UART behind it").arg(found.path));
    case DeviceState::NotSerial:
        return refused(result, LinkResult::Outcome::NotSerial,
                       QStringLiteral("%1 is not a serial device").arg(found.path));
    }
    result.device = found.device;
    result.target = found.device.byId.isEmpty() ? found.path : found.device.byId;

    return placeLink(std::move(result), force);
}

LinkResult linkComPortTo(const QString& programDir, int port, const QString& target, bool force) {
    LinkResult result;
    result.entry = comPortEntry(programDir, port);
    result.target = target;
    return placeLink(std::move(result), force);
}

LinkResult removeComPortLink(const QString& programDir, int port) {
    LinkResult result;
    result.entry = comPortEntry(programDir, port);
    const QFileInfo entry(result.entry);
    if (!occupied(entry))
        return refused(result, LinkResult::Outcome::NoEntry,
                       QStringLiteral("there is no %1").arg(result.entry));
    if (!entry.isSymLink())
        return refused(result, LinkResult::Outcome::NotALink,
                       QStringLiteral("%1 is not a link; it is left as it is").arg(result.entry));
    result.target = entry.symLinkTarget();
    if (!QFile::remove(result.entry))
        return refused(result, LinkResult::Outcome::Failed,
                       QStringLiteral("cannot remove %1").arg(result.entry));
    result.outcome = LinkResult::Outcome::Done;
    return result;
}

} // namespace serial
