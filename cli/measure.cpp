// read: one measurement; and what every command that measures shares.

#include "cli/measure.h"
#include "cli/verbs.h"

#include <QJsonArray>

namespace cli {

namespace {

constexpr int kMostRegisters = 8;

} // namespace

const QString kReadOfRegister0 = QStringLiteral("the read of register 0");

protocol::Frame measurementRequest(int station, int count) {
    protocol::Frame request =
        protocol::readRequest(static_cast<std::uint8_t>(station), protocol::kFunctionReadRegisters,
                              0, static_cast<std::uint8_t>(count));
    protocol::sealCrc(request);
    return request;
}

QJsonArray registerArray(const std::vector<std::uint16_t>& registers) {
    QJsonArray array;
    for (const std::uint16_t value : registers)
        array.append(value);
    return array;
}

long long luxOf(const Result& result) {
    if (result.status != Status::Ok)
        return -1;
    for (const protocol::FieldText& field :
         protocol::decodeMeasurement(result.reply.data(), result.reply.size(), "0"))
        if (field.index == 0)
            return std::stoll(field.text);
    return -1;
}

QJsonValue luxJson(long long lux) {
    return lux >= 0 ? QJsonValue(double(lux)) : QJsonValue();
}

int readCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    const auto registers = context.wholeOption(QStringLiteral("registers"), 1, kMostRegisters, 1,
                                               QStringLiteral("a count of registers"));
    if (!registers)
        return kExitUsage;
    const int count = static_cast<int>(*registers);
    if (const int status = context.openPort())
        return status;

    // One result per station, each line naming its station when there are several.
    const std::vector<int>& stations = context.common().stations;
    const bool several = stations.size() > 1;
    int exit = kExitOk;
    for (const int station : stations) {
        const Result result = context.engine().transact(measurementRequest(station, count),
                                                        protocol::ReplyKind::Registers);
        QJsonObject object = context.record(station);
        if (result.status != Status::Ok) {
            exit = worseExit(exit, context.fail(result, object, station,
                                                count == 1 ? kReadOfRegister0
                                                           : QStringLiteral("the read of registers "
                                                                            "0-%1")
                                                                 .arg(count - 1)));
            // Nothing more can be asked over a port or a connection that is gone.
            if (result.status == Status::PortLost)
                break;
            continue;
        }

        const long long lux = luxOf(result);
        if (context.out().json()) {
            object[QStringLiteral("lux")] = luxJson(lux);
            object[QStringLiteral("registers")] = registerArray(result.registers);
            object[QStringLiteral("latency_ms")] = roundedMillis(result.latencyMs);
            object[QStringLiteral("status")] = statusName(result.status);
            context.out().object(object);
            continue;
        }
        const bool showRegisters = context.isSet(QStringLiteral("registers"));
        if (several) {
            QString line = QStringLiteral("station %1: %2 lx").arg(station).arg(lux);
            if (showRegisters) {
                QStringList values;
                for (const std::uint16_t value : result.registers)
                    values << QString::number(value);
                line += QStringLiteral("  registers %1").arg(values.join(QLatin1Char(' ')));
            }
            context.out().data(line);
            continue;
        }
        context.out().data(QStringLiteral("%1 lx").arg(lux));
        if (showRegisters)
            for (std::size_t i = 0; i < result.registers.size(); ++i)
                context.out().data(
                    QStringLiteral("register %1: %2").arg(i).arg(result.registers[i]));
    }
    return exit;
}

} // namespace cli
