// get and set: the calibration parameters, read and written as the window reads and writes them.

#include "cli/verbs.h"

#include "modbus/opnumber.h"

namespace cli {

namespace {

// The five parameters by the names the command line gives them, with the range the window's
// hint label states for each.
struct Parameter {
    const char* name;
    int row;
    double low;
    double high;
};
constexpr Parameter kParameters[] = {
    {"scale", 0, 0.2, 6},    {"offset", 1, -1000, 1000}, {"da4", 2, 650, 800},
    {"da20", 3, 3000, 4095}, {"range", 4, 500, 65535},
};

const Parameter* findParameter(const QString& name) {
    for (const Parameter& parameter : kParameters)
        if (name == QLatin1String(parameter.name))
            return &parameter;
    return nullptr;
}

QString parameterNames() {
    QStringList names;
    for (const Parameter& parameter : kParameters)
        names << QLatin1String(parameter.name);
    return names.join(QLatin1Char(' '));
}

std::uint8_t readRegister(const Parameter& parameter) {
    return static_cast<std::uint8_t>(protocol::kParameterFirstRegister + parameter.row);
}

protocol::Frame parameterReadRequest(int station, std::uint8_t first, std::uint8_t count) {
    protocol::Frame request = protocol::readRequest(static_cast<std::uint8_t>(station),
                                                    protocol::kFunctionReadRegisters, first, count);
    protocol::sealCrc(request);
    return request;
}

QString valueText(const Parameter& parameter, std::uint16_t value) {
    return QString::fromStdString(protocol::parameterText(parameter.row, value));
}

// The value as JSON: the scale as a number with its decimals, the others as whole numbers.
QJsonValue valueJson(const Parameter& parameter, std::uint16_t value) {
    const QString text = valueText(parameter, value);
    return parameter.row == 0 ? QJsonValue(text.toDouble()) : QJsonValue(text.toLongLong());
}

QString numberText(double value) {
    return QString::number(value, 'g', 10);
}

} // namespace

QStringList calibrationParameterNames() {
    QStringList names;
    for (const Parameter& parameter : kParameters)
        names << QLatin1String(parameter.name);
    return names;
}

int getCommand(Context& context) {
    const QStringList arguments = context.arguments();
    if (arguments.size() > 1)
        return context.usage(
            QStringLiteral("get takes one name at most: %1 or all").arg(parameterNames()));
    const QString name = arguments.value(0, QStringLiteral("all"));
    const Parameter* one = findParameter(name);
    if (!one && name != QLatin1String("all"))
        return context.usage(
            QStringLiteral("no parameter '%1': %2 or all").arg(name, parameterNames()));
    if (const int status = context.openPort())
        return status;

    const std::uint8_t first = one ? readRegister(*one) : protocol::kParameterFirstRegister;
    const std::uint8_t count = one ? 1 : protocol::kParameterRows;
    // One result per station: with several, a line each that names its station.
    const std::vector<int>& stations = context.common().stations;
    const bool several = stations.size() > 1;
    int exit = kExitOk;
    for (const int station : stations) {
        const Result result = context.engine().transact(parameterReadRequest(station, first, count),
                                                        protocol::ReplyKind::Registers);
        QJsonObject object = context.record(station);
        if (result.status != Status::Ok) {
            exit = worseExit(
                exit,
                context.fail(
                    result, object, station,
                    one ? QStringLiteral("the read of %1 (register %2)").arg(name).arg(int(first))
                        : QStringLiteral("the read of the parameters (registers 3-7)")));
            // Nothing more can be asked over a port or a connection that is gone.
            if (result.status == Status::PortLost)
                break;
            continue;
        }

        QStringList values;
        for (std::size_t i = 0; i < result.registers.size(); ++i) {
            const Parameter& parameter = one ? *one : kParameters[i];
            const QString text = QStringLiteral("%1 %2").arg(
                QLatin1String(parameter.name), valueText(parameter, result.registers[i]));
            if (context.out().json())
                object[QLatin1String(parameter.name)] = valueJson(parameter, result.registers[i]);
            else if (several)
                values << text;
            else
                context.out().data(text);
        }
        if (context.out().json()) {
            object[QStringLiteral("latency_ms")] = roundedMillis(result.latencyMs);
            object[QStringLiteral("status")] = statusName(result.status);
            context.out().object(object);
        } else if (several) {
            context.out().data(QStringLiteral("station %1: %2")
                                   .arg(station)
                                   .arg(values.join(QStringLiteral(", "))));
        }
    }
    return exit;
}

int setCommand(Context& context) {
    const QStringList arguments = context.arguments();
    if (arguments.size() != 2)
        return context.usage(QStringLiteral("set needs a name and a value, e.g. set scale 1.2345; "
                                            "the names are %1")
                                 .arg(parameterNames()));
    const Parameter* parameter = findParameter(arguments.at(0));
    if (!parameter)
        return context.usage(
            QStringLiteral("no parameter '%1': %2").arg(arguments.at(0), parameterNames()));
    const QString name = QLatin1String(parameter->name);
    const QString typed = arguments.at(1);
    const std::optional<double> number = opnum::parse(typed.toStdString());
    if (!number)
        return context.usage(QStringLiteral("%1 '%2' is not a number").arg(name, typed));

    // The window's hint is the sensor's documented range: outside it only on purpose.
    const bool force = context.isSet(QStringLiteral("force"));
    if (!force && (*number < parameter->low || *number > parameter->high))
        return context.usage(
            QStringLiteral("%1 %2 is outside %3 to %4, the range the window "
                           "gives for it; nothing was sent. --force sends it "
                           "all the same")
                .arg(name, typed, numberText(parameter->low), numberText(parameter->high)));
    const std::optional<std::uint16_t> encoded =
        protocol::parameterRegisterValue(typed.toStdString(), parameter->row);
    if (!encoded)
        return context.usage(QStringLiteral("%1 %2 cannot be sent: encoded as the window encodes "
                                            "it, it does not fit in a 16-bit register; nothing "
                                            "was sent")
                                 .arg(name, typed));
    if (const int status = context.openPort())
        return status;

    const int station = context.common().station;
    const std::uint8_t readBack = readRegister(*parameter);
    QJsonObject object = context.record(station);

    protocol::Frame write = protocol::parameterWriteRequest(static_cast<std::uint8_t>(station),
                                                            parameter->row, *encoded);
    protocol::sealCrc(write);
    const Result written = context.engine().transact(write, protocol::ReplyKind::WriteEcho);
    if (written.status != Status::Ok)
        return context.fail(written, object, station,
                            QStringLiteral("the write of %1 (register 0x0A%2)")
                                .arg(name)
                                .arg(int(readBack), 2, 16, QLatin1Char('0')));

    if (context.isSet(QStringLiteral("no-verify"))) {
        if (context.out().json()) {
            object[name] = valueJson(*parameter, *encoded);
            object[QStringLiteral("verified")] = false;
            object[QStringLiteral("latency_ms")] = roundedMillis(written.latencyMs);
            object[QStringLiteral("status")] = statusName(written.status);
            context.out().object(object);
        } else {
            context.out().data(QStringLiteral("%1 %2 (written, not read back)")
                                   .arg(name, valueText(*parameter, *encoded)));
        }
        return kExitOk;
    }

    const Result read = context.engine().transact(parameterReadRequest(station, readBack, 1),
                                                  protocol::ReplyKind::Registers);
    if (read.status != Status::Ok)
        return context.fail(read, object, station,
                            QStringLiteral("the read-back of %1 (register %2) after its write")
                                .arg(name)
                                .arg(int(readBack)));

    const std::uint16_t held = read.registers.at(0);
    const bool verified = held == *encoded;
    if (context.out().json()) {
        object[name] = valueJson(*parameter, held);
        object[QStringLiteral("verified")] = verified;
        object[QStringLiteral("latency_ms")] = roundedMillis(read.latencyMs);
        object[QStringLiteral("status")] = statusName(read.status);
    }
    if (!verified) {
        const QString text = QStringLiteral("verification failed: station %1 acknowledged %2 %3 "
                                            "(register value %4) but reads back %5 (%6)")
                                 .arg(station)
                                 .arg(name, valueText(*parameter, *encoded))
                                 .arg(*encoded)
                                 .arg(valueText(*parameter, held))
                                 .arg(held);
        context.out().message(QStringLiteral("qf7320: %1. Write it again; if it still differs, "
                                             "the sensor does not keep this value")
                                  .arg(text));
        if (context.out().json()) {
            object[QStringLiteral("error")] = text;
            context.out().object(object);
        }
        return kExitVerify;
    }
    if (context.out().json())
        context.out().object(object);
    else
        context.out().data(
            QStringLiteral("%1 %2 (verified)").arg(name, valueText(*parameter, held)));
    return kExitOk;
}

} // namespace cli
