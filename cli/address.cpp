// address and scan: the sensor's station address, and finding a sensor nobody remembers.

#include "cli/verbs.h"

#include <QRegularExpression>
#include <QSet>

namespace cli {

namespace {

constexpr int kWindowHighestAddress = 35; // the window's rule for a new address
constexpr int kHighestStation = 247;
constexpr int kDefaultScanBauds[] = {4800, 9600, 14400, 19200};
const QString kCollisionAdvice = QStringLiteral(
    "Several sensors may be answering: with several sensors on one line, every one answers this "
    "query and their replies collide. Connect one sensor at a time, or find each with 'qf7320 "
    "scan --stations 1-247'");

protocol::Frame sealed(protocol::Frame frame) {
    protocol::sealCrc(frame);
    return frame;
}

protocol::Frame registerZeroRequest(int station) {
    return sealed(protocol::readRequest(static_cast<std::uint8_t>(station),
                                        protocol::kFunctionReadRegisters, 0, 1));
}

int changeAddress(Context& context) {
    const bool force = context.isSet(QStringLiteral("force"));
    const int highest = force ? kHighestStation : kWindowHighestAddress;
    const QString typed = context.value(QStringLiteral("set"));
    const auto wanted = wholeNumber(typed, 1, highest);
    if (!wanted)
        return context.usage(
            force ? QStringLiteral("--set %1 is not a station address: 1-247").arg(typed)
                  : QStringLiteral("--set %1 is outside 1-35, the addresses the window allows; "
                                   "nothing was sent. --force allows 1-247")
                        .arg(typed));
    if (const int status = context.openPort())
        return status;

    const int station = context.common().station;
    const int target = static_cast<int>(*wanted);
    QJsonObject object = context.record(station);
    object[QStringLiteral("address")] = target;

    const Result change = context.engine().transact(
        sealed(protocol::addressChangeRequest(static_cast<std::uint8_t>(station),
                                              static_cast<std::uint8_t>(target))),
        protocol::ReplyKind::WriteEcho);
    const QString changeRequest = QStringLiteral("the change of its address to %1").arg(target);
    if (change.status == Status::Exception || change.status == Status::PortLost)
        return context.fail(change, object, station, changeRequest);

    // Whether the change was acknowledged or not, the sensor answering at its new address is
    // what counts: a sensor may already answer from there.
    const Result confirm =
        context.engine().transact(registerZeroRequest(target), protocol::ReplyKind::Registers);
    if (confirm.status == Status::PortLost)
        return context.fail(confirm, object, target, QStringLiteral("the read at its new address"));
    if (confirm.status != Status::Ok) {
        if (change.status != Status::Ok)
            return context.fail(change, object, station, changeRequest,
                                QStringLiteral("Nor does a sensor answer at %1. Check the cable, "
                                               "the station (-s) and the rate (-b); 'qf7320 "
                                               "address' asks the sensor its address")
                                    .arg(target));
        const QString text = QStringLiteral("verification failed: station %1 acknowledged the "
                                            "change to %2, but %3")
                                 .arg(station)
                                 .arg(target)
                                 .arg(context.failureText(
                                     confirm, target, QStringLiteral("a read at its new address")));
        context.out().message(QStringLiteral("qf7320: %1. 'qf7320 address' asks the sensor its "
                                             "address")
                                  .arg(text));
        if (context.out().json()) {
            object[QStringLiteral("verified")] = false;
            object[QStringLiteral("status")] = statusName(confirm.status);
            object[QStringLiteral("error")] = text;
            context.out().object(object);
        }
        return kExitVerify;
    }
    if (change.status != Status::Ok)
        context.out().message(QStringLiteral("qf7320: %1; it answers at %2 all the same")
                                  .arg(context.failureText(change, station, changeRequest))
                                  .arg(target));
    if (context.out().json()) {
        object[QStringLiteral("verified")] = true;
        object[QStringLiteral("latency_ms")] = roundedMillis(confirm.latencyMs);
        object[QStringLiteral("status")] = statusName(confirm.status);
        context.out().object(object);
    } else {
        context.out().data(QStringLiteral("address %1 (verified)").arg(target));
    }
    return kExitOk;
}

std::optional<std::pair<int, int>> stationRange(const QString& text) {
    static const QRegularExpression range(QStringLiteral("^([0-9]{1,3})(?:-([0-9]{1,3}))?$"));
    const QRegularExpressionMatch match = range.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const int from = match.captured(1).toInt();
    const int to = match.captured(2).isEmpty() ? from : match.captured(2).toInt();
    if (from < 1 || to > kHighestStation || from > to)
        return std::nullopt;
    return std::pair{from, to};
}

} // namespace

int addressCommand(Context& context) {
    if (const int status =
            context.noArguments(QStringLiteral("to change the address: address --set NEW")))
        return status;
    if (context.isSet(QStringLiteral("set")))
        return changeAddress(context);
    if (context.isSet(QStringLiteral("force")))
        return context.usage(QStringLiteral("--force goes with --set NEW"));
    if (const int status = context.openPort())
        return status;

    const Result result = context.engine().transact(sealed(protocol::addressQueryRequest()),
                                                    protocol::ReplyKind::Address);
    QJsonObject object = context.record(protocol::kAddressQueryStation);
    // Replies that collide arrive damaged, or stop short of a whole one.
    const bool collided = result.status == Status::BadReply ||
                          (result.status == Status::Timeout && !result.reply.empty());
    if (result.status != Status::Ok)
        return context.fail(result, object, protocol::kAddressQueryStation,
                            QStringLiteral("the address query"),
                            collided ? kCollisionAdvice : QString());
    const std::optional<std::uint8_t> address =
        protocol::decodeAddress(result.reply.data(), result.reply.size());
    if (context.out().json()) {
        object[QStringLiteral("address")] = address ? QJsonValue(*address) : QJsonValue();
        object[QStringLiteral("latency_ms")] = roundedMillis(result.latencyMs);
        object[QStringLiteral("status")] = statusName(result.status);
        context.out().object(object);
    } else {
        context.out().data(QStringLiteral("address %1").arg(address.value_or(0)));
    }
    return kExitOk;
}

int scanCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    // Over a network the far line's rate is set on the server or the gateway: one rate.
    const Line& line = context.common().line;
    QList<int> bauds;
    if (line.isNetwork()) {
        if (context.isSet(QStringLiteral("bauds")))
            return context.usage(QStringLiteral("--bauds does not apply to %1: the rate of the "
                                                "serial line beyond it is set on the server or "
                                                "the gateway, and scan tries the stations at "
                                                "that one rate")
                                     .arg(qtext(line.port)));
        bauds << line.baud;
    } else if (context.isSet(QStringLiteral("bauds"))) {
        for (const QString& item : context.value(QStringLiteral("bauds")).split(QLatin1Char(','))) {
            const auto baud = parseBaud(item.trimmed());
            if (!baud)
                return context.usage(QStringLiteral("--bauds: '%1' is not a standard rate: %2")
                                         .arg(item, baudListText()));
            bauds << *baud;
        }
    } else if (context.isSet(QStringLiteral("baud"))) {
        bauds << context.common().line.baud;
    } else {
        for (const int baud : kDefaultScanBauds)
            bauds << baud;
    }
    std::optional<std::pair<int, int>> range;
    if (context.isSet(QStringLiteral("stations"))) {
        range = stationRange(context.value(QStringLiteral("stations")));
        if (!range)
            return context.usage(QStringLiteral("--stations %1 is not a range FROM-TO within "
                                                "1-247")
                                     .arg(context.value(QStringLiteral("stations"))));
    }
    if (const int status = context.openPort(bauds.first()))
        return status;

    Engine& engine = context.engine();
    int found = 0;
    // Tells one sensor found: its rate, station and reading.
    const auto report = [&](int station, const Result& reading) {
        ++found;
        const long long lux = luxOf(reading);
        if (context.out().json()) {
            QJsonObject object = context.record(station);
            object[QStringLiteral("lux")] = luxJson(lux);
            object[QStringLiteral("status")] = statusName(reading.status);
            if (reading.status == Status::Ok)
                object[QStringLiteral("latency_ms")] = roundedMillis(reading.latencyMs);
            context.out().object(object);
        } else {
            const QString what =
                lux >= 0 ? QStringLiteral("%1 lx").arg(lux)
                         : QStringLiteral("(no reading: %1)").arg(statusName(reading.status));
            context.out().data(line.isNetwork()
                                   ? QStringLiteral("station %1  %2").arg(station).arg(what)
                                   : QStringLiteral("%1 baud  station %2  %3")
                                         .arg(engine.baud())
                                         .arg(station)
                                         .arg(what));
        }
    };

    for (const int baud : bauds) {
        if (baud != engine.baud() && !engine.setBaud(baud)) {
            context.out().message(
                QStringLiteral("qf7320: the port refuses %1 baud; that rate is skipped").arg(baud));
            continue;
        }
        QSet<int> seen;
        const Result query =
            engine.transact(sealed(protocol::addressQueryRequest()), protocol::ReplyKind::Address);
        if (query.status == Status::PortLost)
            return context.fail(query, context.record(protocol::kAddressQueryStation),
                                protocol::kAddressQueryStation,
                                QStringLiteral("the address query"));
        if (query.status == Status::Ok) {
            if (const auto station =
                    protocol::decodeAddress(query.reply.data(), query.reply.size());
                station && *station >= 1 && *station <= kHighestStation) {
                seen.insert(*station);
                report(*station, engine.transact(registerZeroRequest(*station),
                                                 protocol::ReplyKind::Registers));
            }
        } else if (query.status == Status::BadReply) {
            context.out().message(
                QStringLiteral("qf7320: at %1 baud the address query got a bad reply (%2): "
                               "several sensors may be answering at once; --stations reads each "
                               "station in turn")
                    .arg(baud)
                    .arg(QString::fromStdString(query.failedCheck)));
        }
        if (!range)
            continue;
        for (int station = range->first; station <= range->second; ++station) {
            if (seen.contains(station))
                continue;
            const Result reading =
                engine.transact(registerZeroRequest(station), protocol::ReplyKind::Registers);
            if (reading.status == Status::PortLost)
                return context.fail(reading, context.record(station), station,
                                    QStringLiteral("the read of register 0"));
            // An exception is an answer too: a sensor is there, it only refused the read. Not
            // so a gateway's own exceptions, which say that nothing answered it.
            const bool gatewaySaysNone =
                reading.status == Status::Exception &&
                (reading.exceptionCode == 0x0A || reading.exceptionCode == 0x0B);
            if (reading.status == Status::Ok ||
                (reading.status == Status::Exception && !gatewaySaysNone))
                report(station, reading);
        }
    }

    if (found > 0)
        return kExitOk;
    QStringList rates;
    for (const int baud : bauds)
        rates << QString::number(baud);
    const QString stationsText =
        range ? QStringLiteral(" or a read at stations %1-%2").arg(range->first).arg(range->second)
              : QString();
    const QString text = line.isNetwork()
                             ? QStringLiteral("no sensor found through %1 with the address query%2")
                                   .arg(qtext(line.port), stationsText)
                             : QStringLiteral("no sensor found at %1 baud with the address query%2")
                                   .arg(rates.join(QLatin1Char(',')), stationsText);
    context.out().message(
        line.isNetwork()
            ? QStringLiteral("qf7320: %1. Check the wiring and rate of the serial line beyond "
                             "it and the sensor's power; try every station (--stations 1-247) "
                             "or a longer --timeout")
                  .arg(text)
            : QStringLiteral("qf7320: %1. Check the cable and the sensor's power; try other "
                             "rates (--bauds), every station (--stations 1-247) or a longer "
                             "--timeout")
                  .arg(text));
    if (context.out().json()) {
        QJsonObject object;
        object[QStringLiteral("time")] = isoTimeNow();
        object[QStringLiteral("port")] = qtext(context.common().line.port);
        object[QStringLiteral("status")] = statusName(Status::Timeout);
        object[QStringLiteral("error")] = text;
        context.out().object(object);
    }
    return kExitNoReply;
}

} // namespace cli
