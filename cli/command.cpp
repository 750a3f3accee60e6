#include "cli/command.h"

#include "modbus/hextext.h"
#include "serial/deviceaccess.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

// QCommandLineParser reads "-1000" as the short options -1, -0, -0, -0. The command line hands
// such a word to it behind this mark instead of its minus sign, and the mark is taken off again
// whenever a value is read.
const QChar kNegativeMark(0x2212); // MINUS SIGN

QString unmarked(QString text) {
    if (text.startsWith(kNegativeMark))
        text[0] = QLatin1Char('-');
    return text;
}

QString checkText(const std::string& check, const std::vector<std::uint8_t>& reply) {
    if (check == "CRC")
        return QStringLiteral("its CRC does not match");
    if (check == "station" && !reply.empty())
        return QStringLiteral("it comes from station %1").arg(reply[0]);
    if (check == "function" && reply.size() > 1)
        return QStringLiteral("it carries function %1")
            .arg(QString::fromStdString(modbus::byteText(reply[1])));
    if (check == "byte count" && reply.size() > 2)
        return QStringLiteral("its byte count is %1").arg(reply[2]);
    if (check == "echo")
        return QStringLiteral("its echo differs from the request");
    if (check == "protocol id" && reply.size() >= 4)
        return QStringLiteral("its MBAP protocol id is %1, not 0 (the stream is read no "
                              "further: the connection is made again)")
            .arg(reply[2] << 8 | reply[3]);
    if (check == "MBAP length" && reply.size() >= 6)
        return QStringLiteral("its MBAP length is %1, outside 2-254 (the stream is read no "
                              "further: the connection is made again)")
            .arg(reply[4] << 8 | reply[5]);
    return QStringLiteral("its %1 is wrong").arg(QString::fromStdString(check));
}

// A gateway's own exceptions: it answers for a sensor it could not reach.
bool isGatewayException(std::uint8_t code) {
    return code == 0x0A || code == 0x0B;
}

// What to try after a transaction failed this way.
QString usualAdvice(const Result& result, const Line& line, int baud) {
    const bool network = line.isNetwork();
    const bool modbusTcp = line.kind == transport::Kind::ModbusTcp;
    switch (result.status) {
    case Status::Ok:
        break;
    case Status::Timeout:
        if (modbusTcp)
            return QStringLiteral("Check the station (-s), the gateway's serial settings and its "
                                  "wiring to the sensor, and the sensor's power; 'qf7320 scan "
                                  "--stations 1-247' finds a sensor whose address is not known");
        if (network)
            return QStringLiteral("Check the server's serial settings (rate %1, 8N1) and its "
                                  "wiring to the sensor, the sensor's power and the station "
                                  "(-s); 'qf7320 scan --stations 1-247' finds a sensor whose "
                                  "address is not known")
                .arg(baud);
        return QStringLiteral("Check the cable and the sensor's power, the station (-s) and the "
                              "rate (-b %1); 'qf7320 scan' finds a sensor whose address or rate "
                              "is not known")
            .arg(baud);
    case Status::BadReply:
        if (result.failedCheck == "protocol id" || result.failedCheck == "MBAP length")
            return QStringLiteral("The far end does not speak Modbus TCP: check the port "
                                  "number, and for a transparent serial server use "
                                  "rtu+tcp:// instead");
        if (modbusTcp)
            return QStringLiteral("Two sensors answering at once, or noise on the gateway's "
                                  "serial line: check its wiring, termination and rate");
        return QStringLiteral("Noise on the line, a wrong rate or two sensors answering at once: "
                              "check the wiring, its termination and the rate (-b %1)")
            .arg(baud);
    case Status::Exception:
        if (isGatewayException(result.exceptionCode))
            return QStringLiteral("The gateway answered for the sensor, which it could not "
                                  "reach: check the station (-s), the gateway's serial settings "
                                  "(rate, 8N1) and its wiring to the sensor");
        return QStringLiteral("The sensor does not accept this request: check the value and the "
                              "station (qf7320 help)");
    case Status::PortLost:
        if (network)
            return QStringLiteral("Check the gateway, its power and the network, then try again");
        return QStringLiteral("Check that the adapter is still plugged in, then try again");
    }
    return {};
}

} // namespace

QString optionValue(const QCommandLineParser& parser, const QString& option) {
    return unmarked(parser.value(option));
}

QStringList markNegativeNumbers(QStringList arguments) {
    // A plain test, not a regular expression: every run of qf7320 comes through here, and
    // compiling one costs a one-shot command more than the test itself.
    for (QString& argument : arguments)
        if (argument.size() > 1 && argument.at(0) == QLatin1Char('-') &&
            ((argument.at(1) >= QLatin1Char('0') && argument.at(1) <= QLatin1Char('9')) ||
             argument.at(1) == QLatin1Char('.')))
            argument[0] = kNegativeMark;
    return arguments;
}

int exitStatus(Status status) {
    switch (status) {
    case Status::Ok:
        return kExitOk;
    case Status::Timeout:
        return kExitNoReply;
    case Status::BadReply:
        return kExitBadReply;
    case Status::Exception:
        return kExitException;
    case Status::PortLost:
        return kExitPort;
    }
    return kExitNoReply;
}

int worseExit(int a, int b) {
    const auto rank = [](int status) {
        switch (status) {
        case kExitOk:
            return 0;
        case kExitNoReply:
            return 1;
        case kExitBadReply:
            return 2;
        case kExitException:
            return 3;
        case kExitPort:
            return 4;
        default:
            return 5;
        }
    };
    return rank(b) > rank(a) ? b : a;
}

std::optional<long long> wholeNumber(const QString& text, long long lo, long long hi) {
    static const QRegularExpression whole(QStringLiteral("^-?[0-9]{1,12}$"));
    if (!whole.match(text).hasMatch())
        return std::nullopt;
    const long long value = text.toLongLong();
    if (value < lo || value > hi)
        return std::nullopt;
    return value;
}

std::optional<long long> wholeOption(const QCommandLineParser& parser, const QString& option,
                                     long long lo, long long hi, long long fallback,
                                     const QString& meaning, QString& error) {
    if (!parser.isSet(option))
        return fallback;
    const QString text = optionValue(parser, option);
    const std::optional<long long> value = wholeNumber(text, lo, hi);
    if (!value)
        error =
            QStringLiteral("--%1 %2 is not %3: %4-%5").arg(option, text, meaning).arg(lo).arg(hi);
    return value;
}

std::optional<std::vector<int>> parseStationList(const QString& text) {
    constexpr int kHighestStation = 247;
    std::vector<int> stations;
    for (const QString& item : text.split(QLatin1Char(','))) {
        const QStringList ends = item.split(QLatin1Char('-'));
        if (ends.size() > 2)
            return std::nullopt;
        const auto from = wholeNumber(ends.front(), 1, kHighestStation);
        const auto to = wholeNumber(ends.back(), 1, kHighestStation);
        if (!from || !to || *to < *from)
            return std::nullopt;
        for (long long station = *from; station <= *to; ++station)
            if (std::find(stations.begin(), stations.end(), station) == stations.end())
                stations.push_back(static_cast<int>(station));
    }
    return stations;
}

double roundedMillis(double ms) {
    return std::round(ms * 10.0) / 10.0;
}

QString openFailureText(const QString& device, const QString& port,
                        platform::SerialPort::OpenError error, const QString& portText) {
    const QString name = port == device ? device : QStringLiteral("%1 (port %2)").arg(device, port);
    const serial::DeviceAccess access = serial::checkDeviceAccess(device);
    if (access.state == serial::DeviceAccess::State::NotFound ||
        error == platform::SerialPort::OpenError::NotFound)
        return QStringLiteral("cannot open %1: not found. Check that the adapter is plugged in "
                              "and the name is right (ls /dev/ttyUSB* /dev/serial/by-id)")
            .arg(name);
    if (access.state == serial::DeviceAccess::State::NoPermission)
        return QStringLiteral("cannot open %1: permission denied. To use it, %2")
            .arg(name, serial::permissionAdvice(access.group));
    if (error == platform::SerialPort::OpenError::Permission ||
        error == platform::SerialPort::OpenError::Busy)
        return QStringLiteral("cannot open %1: busy, another program has it open (the window "
                              "qf7320-tool, another qf7320, a terminal or a modem manager). "
                              "Close it and try again")
            .arg(name);
    return QStringLiteral("cannot open %1: %2. Check the adapter and try again")
        .arg(name, portText);
}

QString connectFailureText(const Line& line, const transport::OpenFailure& failure,
                           int connectTimeoutMs) {
    using Reason = transport::OpenFailure::Reason;
    const QString where = qtext(line.port);
    switch (failure.reason) {
    case Reason::Resolve:
        return QStringLiteral("cannot connect to %1: %2. Check the name, or give the "
                              "gateway's IP address")
            .arg(where, qtext(failure.text));
    case Reason::Refused:
        return QStringLiteral("cannot connect to %1: refused, nothing listens on port %2 there. "
                              "Check the port (502 unless the gateway was set otherwise) and "
                              "that its Modbus server is on")
            .arg(where)
            .arg(line.tcpPort);
    case Reason::Timeout:
        return QStringLiteral("cannot connect to %1: no answer within %2 ms (%3). Check the "
                              "address, that the gateway is on and on this network, and any "
                              "firewall; --connect-timeout waits longer")
            .arg(where)
            .arg(connectTimeoutMs)
            .arg(qtext(failure.text));
    case Reason::None:
    case Reason::Serial:
    case Reason::Network:
        break;
    }
    return QStringLiteral("cannot connect to %1: %2. Check the address and the network")
        .arg(where, qtext(failure.text));
}

Context::Context(const QCommandLineParser& parser, const Common& common, Output& out,
                 const QString& command)
    : parser_(parser), common_(common), command_(command), out_(out) {
    engine_.setTimeout(common.timeoutMs);
    engine_.setRetries(common.retries);
    engine_.setConnectTimeout(common.connectTimeoutMs);
    engine_.setGap(common.gapMs);
    engine_.setTrace(out.trace());
}

QStringList Context::arguments() const {
    QStringList arguments = parser_.positionalArguments();
    if (!arguments.isEmpty())
        arguments.removeFirst(); // the command's own name
    for (QString& argument : arguments)
        argument = unmarked(argument);
    return arguments;
}

QString Context::value(const QString& option) const {
    return optionValue(parser_, option);
}

bool Context::isSet(const QString& option) const {
    return parser_.isSet(option);
}

std::optional<Line> Context::lineFor(const QString& portText) {
    const LineChoice choice =
        chooseLine(portText, value(QStringLiteral("baud")), common_.programDir);
    if (!choice.line)
        usage(choice.error);
    return choice.line;
}

int Context::usage(const QString& text) {
    out_.message(QStringLiteral("qf7320: %1").arg(text));
    return kExitUsage;
}

int Context::noArguments(const QString& hint) {
    const QStringList words = arguments();
    if (words.isEmpty())
        return kExitOk;
    QString text = QStringLiteral("%1 takes no arguments, not '%2'")
                       .arg(command_, words.join(QLatin1Char(' ')));
    if (!hint.isEmpty())
        text += QStringLiteral("; ") + hint;
    return usage(text);
}

std::optional<long long> Context::wholeOption(const QString& option, long long lo, long long hi,
                                              long long fallback, const QString& meaning) {
    QString error;
    const std::optional<long long> value =
        cli::wholeOption(parser_, option, lo, hi, fallback, meaning, error);
    if (!value)
        usage(error);
    return value;
}

QString Context::openFailureText(const Line& line) const {
    return line.isNetwork()
               ? connectFailureText(line, engine_.openFailure(), common_.connectTimeoutMs)
               : cli::openFailureText(qtext(line.device), qtext(line.port), engine_.openError(),
                                      qtext(engine_.openErrorText()));
}

int Context::openPort(std::optional<int> baud) {
    Line line = common_.line;
    line.baud = baud.value_or(line.baud);
    if (line.kind == transport::Kind::ModbusTcp && isSet(QStringLiteral("baud")) && !baudNoted_) {
        baudNoted_ = true;
        out_.message(QStringLiteral("qf7320: --baud does not apply to tcp://: the gateway's "
                                    "serial rate is set on the gateway; ignored"));
    }
    if (engine_.open(line))
        return kExitOk;
    const QString text = openFailureText(line);
    out_.message(QStringLiteral("qf7320: %1").arg(text));
    if (out_.json()) {
        QJsonObject object = record(common_.station);
        if (line.kind != transport::Kind::ModbusTcp)
            object[QStringLiteral("baud")] = line.baud;
        object[QStringLiteral("status")] = statusName(Status::PortLost);
        object[QStringLiteral("error")] = text;
        out_.object(object);
    }
    return kExitPort;
}

QJsonObject Context::record(int station, const QString& time) const {
    QJsonObject object;
    object[QStringLiteral("time")] = time.isEmpty() ? isoTimeNow() : time;
    object[QStringLiteral("port")] = qtext(common_.line.port);
    // tcp:// has no rate on this side of the gateway.
    object[QStringLiteral("baud")] =
        common_.line.kind == transport::Kind::ModbusTcp ? QJsonValue() : QJsonValue(engine_.baud());
    object[QStringLiteral("station")] = station;
    return object;
}

QString Context::failureText(const Result& result, int station, const QString& request) const {
    const QString reply =
        QString::fromStdString(modbus::frameText(result.reply.data(), result.reply.size()));
    switch (result.status) {
    case Status::Ok:
        return {};
    case Status::Timeout: {
        QString text =
            QStringLiteral("no reply from station %1 to %2 after %3 of %4 ms")
                .arg(station)
                .arg(request)
                .arg(result.attempts == 1 ? QStringLiteral("1 attempt")
                                          : QStringLiteral("%1 attempts").arg(result.attempts))
                .arg(common_.timeoutMs);
        if (!result.reply.empty())
            text += QStringLiteral(" (the last reply stopped after %1 of %2 bytes: %3)")
                        .arg(result.reply.size())
                        .arg(result.expectedLength)
                        .arg(reply);
        return text;
    }
    case Status::BadReply:
        return QStringLiteral("bad reply from station %1 to %2: %3 (%4)")
            .arg(station)
            .arg(request, checkText(result.failedCheck, result.reply), reply);
    case Status::Exception:
        if (isGatewayException(result.exceptionCode))
            return QStringLiteral("the gateway could not reach station %1 for %2: exception %3 "
                                  "(%4)")
                .arg(station)
                .arg(request, QString::fromStdString(modbus::byteText(result.exceptionCode)),
                     QString::fromStdString(protocol::exceptionName(result.exceptionCode)));
        return QStringLiteral("station %1 refused %2: exception %3 (%4)")
            .arg(station)
            .arg(request, QString::fromStdString(modbus::byteText(result.exceptionCode)),
                 QString::fromStdString(protocol::exceptionName(result.exceptionCode)));
    case Status::PortLost:
        if (common_.line.isNetwork())
            return QStringLiteral("lost the connection to %1 (%2)")
                .arg(qtext(common_.line.port), qtext(result.portError));
        return QStringLiteral("lost the port %1 (%2)").arg(qtext(common_.line.device), qtext(result.portError));
    }
    return {};
}

int Context::fail(const Result& result, QJsonObject object, int station, const QString& request,
                  const QString& advice) {
    if (result.status == Status::Ok)
        return kExitOk;
    const QString text = failureText(result, station, request);
    out_.message(QStringLiteral("qf7320: %1. %2")
                     .arg(text, advice.isEmpty() ? usualAdvice(result, common_.line, engine_.baud())
                                                 : advice));
    if (out_.json()) {
        object[QStringLiteral("status")] = statusName(result.status);
        object[QStringLiteral("error")] = text;
        if (result.status == Status::Exception)
            object[QStringLiteral("exception")] = result.exceptionCode;
        if (result.status == Status::BadReply || result.status == Status::Exception)
            object[QStringLiteral("latency_ms")] = roundedMillis(result.latencyMs);
        out_.object(object);
    }
    return exitStatus(result.status);
}

} // namespace cli
