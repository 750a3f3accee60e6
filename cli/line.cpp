#include "cli/line.h"

#include "serial/comlink.h"
#include "serial/commset.h"
#include "serial/comport.h"

#include <QDir>
#include <QFile>


namespace cli {

namespace {

constexpr int kDefaultBaud = 9600;
constexpr int kHighestPort = 255; // the window's serial component takes ports 1-255
constexpr qint64 kSettingsReadLimit = 4096;

// What comm.set beside the program holds, if it can be read at all.
std::optional<commset::Stored> storedSettings(const QString& programDir) {
    QFile file(QDir(programDir).filePath(QStringLiteral("comm.set")));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray content = file.read(kSettingsReadLimit);
    return commset::parse(
        std::string_view(content.constData(), static_cast<std::size_t>(content.size())));
}

} // namespace

QString baudListText() {
    return QString::fromStdString(client::baudListText());
}

std::optional<int> parseBaud(const QString& text) {
    return client::parseBaud(text.toStdString());
}

LineChoice chooseLine(const QString& portOption, const QString& baudOption,
                      const QString& programDir) {
    LineChoice choice;
    Line line;

    // A network endpoint: comm.set holds the window's serial port, nothing about a gateway.
    std::string endpointError;
    if (std::optional<Line> network =
            client::parseNetworkEndpoint(portOption.toStdString(), endpointError)) {
        if (!baudOption.isEmpty()) {
            const auto baud = parseBaud(baudOption);
            if (!baud)
                return {std::nullopt, QStringLiteral("--baud %1 is not a standard rate: one of %2")
                                          .arg(baudOption, baudListText())};
            network->baud = *baud;
        } else {
            network->baud = kDefaultBaud;
        }
        choice.line = *network;
        return choice;
    }
    if (!endpointError.empty())
        return {std::nullopt, QString::fromStdString(endpointError)};

    const bool needStored = portOption.isEmpty() || baudOption.isEmpty();
    // Nothing saved reads as port 0 and rate 0, neither of which is taken.
    const commset::Stored stored =
        needStored ? storedSettings(programDir).value_or(commset::Stored{}) : commset::Stored{};

    if (!portOption.isEmpty()) {
        line.port = portOption.toStdString();
        // COMn as the window knows it; anything else is a device path.
        if (portOption.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
            const auto n = serial::parseComPortName(portOption);
            if (!n)
                return {std::nullopt, QStringLiteral("--port %1 is not a port: COM1 to COM%2, or a "
                                                     "device path such as /dev/ttyUSB0")
                                          .arg(portOption)
                                          .arg(kHighestPort)};
            line.device = serial::comPortDevice(programDir, *n).toStdString();
        } else {
            line.device = portOption.toStdString();
        }
    } else if (stored.port >= 1 && stored.port <= kHighestPort) {
        line.port = "COM" + std::to_string(stored.port);
        line.device = serial::comPortDevice(programDir, stored.port).toStdString();
    } else {
        return {std::nullopt,
                QStringLiteral("no port given and no port saved in %1: give --port, e.g. "
                               "--port /dev/ttyUSB0 or --port COM1")
                    .arg(QDir(programDir).filePath(QStringLiteral("comm.set")))};
    }

    if (!baudOption.isEmpty()) {
        const auto baud = parseBaud(baudOption);
        if (!baud)
            return {std::nullopt, QStringLiteral("--baud %1 is not a standard rate: one of %2")
                                      .arg(baudOption, baudListText())};
        line.baud = *baud;
    } else if (stored.rate != 0) {
        const auto baud = parseBaud(QString::number(stored.rate));
        if (!baud)
            return {std::nullopt,
                    QStringLiteral("comm.set holds the rate %1, which is not a standard rate: "
                                   "give --baud")
                        .arg(stored.rate)};
        line.baud = *baud;
    } else {
        line.baud = kDefaultBaud;
    }
    choice.line = line;
    return choice;
}

} // namespace cli
