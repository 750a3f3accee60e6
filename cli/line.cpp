#include "cli/line.h"

#include "serial/comlink.h"
#include "serial/commset.h"
#include "serial/comport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <array>

namespace cli {

namespace {

constexpr std::array kBauds{1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200};
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

std::span<const int> standardBauds() {
    return kBauds;
}

QString baudListText() {
    QStringList rates;
    for (const int baud : kBauds)
        rates << QString::number(baud);
    return rates.join(QLatin1Char(' '));
}

std::optional<int> parseBaud(const QString& text) {
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,7}$"));
    if (!digits.match(text).hasMatch())
        return std::nullopt;
    const int baud = text.toInt();
    if (std::find(kBauds.begin(), kBauds.end(), baud) == kBauds.end())
        return std::nullopt;
    return baud;
}

transport::Endpoint Line::endpoint() const {
    transport::Endpoint endpoint;
    endpoint.kind = kind;
    endpoint.device = device;
    endpoint.host = host;
    endpoint.port = tcpPort;
    endpoint.baud = baud;
    return endpoint;
}

std::optional<Line> parseNetworkEndpoint(const QString& text, QString& error) {
    Line line;
    QString rest;
    if (text.startsWith(QLatin1String("tcp://"), Qt::CaseInsensitive)) {
        line.kind = transport::Kind::ModbusTcp;
        rest = text.mid(6);
    } else if (text.startsWith(QLatin1String("rtu+tcp://"), Qt::CaseInsensitive)) {
        line.kind = transport::Kind::RtuOverTcp;
        rest = text.mid(10);
    } else {
        return std::nullopt;
    }
    line.port = text;
    const QString form = QStringLiteral("--port %1 is not an endpoint: %2://HOST or "
                                        "%2://HOST:PORT, an IPv6 address in brackets "
                                        "([::1]:1502)")
                             .arg(text, text.section(QStringLiteral("://"), 0, 0));
    // A trailing slash is what a pasted URL often ends with; a path is nothing a gateway has.
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const qsizetype close = rest.indexOf(QLatin1Char(']'));
        if (close < 0) {
            error = form;
            return std::nullopt;
        }
        line.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (!after.isEmpty()) {
            if (!after.startsWith(QLatin1Char(':'))) {
                error = form;
                return std::nullopt;
            }
            portText = after.mid(1);
            if (portText.isEmpty()) {
                error = form;
                return std::nullopt;
            }
        }
        if (!line.host.contains(QLatin1Char(':'))) {
            error = form;
            return std::nullopt;
        }
    } else {
        const qsizetype colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0 && rest.indexOf(QLatin1Char(':')) != colon) {
            error = QStringLiteral("--port %1: an IPv6 address goes in brackets, e.g. "
                                   "tcp://[::1]:502")
                        .arg(text);
            return std::nullopt;
        }
        line.host = colon >= 0 ? rest.left(colon) : rest;
        if (colon >= 0) {
            portText = rest.mid(colon + 1);
            if (portText.isEmpty()) {
                error = form;
                return std::nullopt;
            }
        }
    }
    static const QRegularExpression hostChars(QStringLiteral("^[A-Za-z0-9._:%-]+$"));
    if (line.host.isEmpty() || !hostChars.match(line.host).hasMatch()) {
        error = form;
        return std::nullopt;
    }
    if (!portText.isEmpty()) {
        static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
        const int port = portText.toInt();
        if (!digits.match(portText).hasMatch() || port < 1 || port > 65535) {
            error = QStringLiteral("--port %1: the TCP port %2 is not 1-65535").arg(text, portText);
            return std::nullopt;
        }
        line.tcpPort = static_cast<std::uint16_t>(port);
    }
    return line;
}

LineChoice chooseLine(const QString& portOption, const QString& baudOption,
                      const QString& programDir) {
    LineChoice choice;
    Line line;

    // A network endpoint: comm.set holds the window's serial port, nothing about a gateway.
    QString endpointError;
    if (std::optional<Line> network = parseNetworkEndpoint(portOption, endpointError)) {
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
    if (!endpointError.isEmpty())
        return {std::nullopt, endpointError};

    const bool needStored = portOption.isEmpty() || baudOption.isEmpty();
    // Nothing saved reads as port 0 and rate 0, neither of which is taken.
    const commset::Stored stored =
        needStored ? storedSettings(programDir).value_or(commset::Stored{}) : commset::Stored{};

    if (!portOption.isEmpty()) {
        line.port = portOption;
        // COMn as the window knows it; anything else is a device path.
        if (portOption.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) {
            const auto n = serial::parseComPortName(portOption);
            if (!n)
                return {std::nullopt, QStringLiteral("--port %1 is not a port: COM1 to COM%2, or a "
                                                     "device path such as /dev/ttyUSB0")
                                          .arg(portOption)
                                          .arg(kHighestPort)};
            line.device = serial::comPortDevice(programDir, *n);
        } else {
            line.device = portOption;
        }
    } else if (stored.port >= 1 && stored.port <= kHighestPort) {
        line.port = QStringLiteral("COM%1").arg(stored.port);
        line.device = serial::comPortDevice(programDir, stored.port);
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
