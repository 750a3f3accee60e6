// address and scan: the sensor's station address, and finding a sensor nobody remembers.

#include "cli/verbs.h"

#include "platform/text.h"

#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cli {

namespace {

constexpr int kDefaultScanBauds[] = {4800, 9600, 14400, 19200};
const std::string kCollisionAdvice =
    "Several sensors may be answering: with several sensors on one line, every one answers this "
    "query and their replies collide. Connect one sensor at a time, or find each with 'qf7320 "
    "scan --stations 1-247'";

int changeAddress(Context& context) {
    const bool force = context.isSet("force");
    const int highest = force ? kHighestStation : kWindowHighestAddress;
    const std::string typed = context.value("set");
    const auto wanted = wholeNumber(typed, 1, highest);
    if (!wanted)
        return context.usage(
            force ? text::format("--set %1 is not a station address: 1-247", {typed})
                  : text::format("--set %1 is outside 1-35, the addresses the window allows; "
                                 "nothing was sent. --force allows 1-247",
                                 {typed}));
    if (const int status = context.openPort())
        return status;

    const int station = context.common().station;
    const int target = static_cast<int>(*wanted);
    json::Value object = context.record(station);
    object["address"] = target;

    const Result change = context.engine().transact(
        protocol::sealed(protocol::addressChangeRequest(static_cast<std::uint8_t>(station),
                                                        static_cast<std::uint8_t>(target))),
        protocol::ReplyKind::WriteEcho);
    const std::string changeRequest = text::format("the change of its address to %1", {target});
    if (change.status == Status::Exception || change.status == Status::PortLost)
        return context.fail(change, object, station, changeRequest);

    // Whether the change was acknowledged or not, the sensor answering at its new address is
    // what counts: a sensor may already answer from there.
    const Result confirm = context.engine().transact(client::measurementRequest(target),
                                                     protocol::ReplyKind::Registers);
    if (confirm.status == Status::PortLost)
        return context.fail(confirm, object, target, "the read at its new address");
    if (confirm.status != Status::Ok) {
        if (change.status != Status::Ok)
            return context.fail(change, object, station, changeRequest,
                                text::format("Nor does a sensor answer at %1. Check the cable, "
                                             "the station (-s) and the rate (-b); 'qf7320 "
                                             "address' asks the sensor its address",
                                             {target}));
        const std::string failure = text::format(
            "verification failed: station %1 acknowledged the change to %2, but %3",
            {station, target, context.failureText(confirm, target, "a read at its new address")});
        context.out().message(
            text::format("qf7320: %1. 'qf7320 address' asks the sensor its address", {failure}));
        if (context.out().json()) {
            object["verified"] = false;
            object["status"] = statusName(confirm.status);
            object["error"] = failure;
            context.out().object(object);
        }
        return kExitVerify;
    }
    if (change.status != Status::Ok)
        context.out().message(
            text::format("qf7320: %1; it answers at %2 all the same",
                         {context.failureText(change, station, changeRequest), target}));
    if (context.out().json()) {
        object["verified"] = true;
        object["latency_ms"] = json::number(roundedMillis(confirm.latencyMs));
        object["status"] = statusName(confirm.status);
        context.out().object(object);
    } else {
        context.out().data(text::format("address %1 (verified)", {target}));
    }
    return kExitOk;
}

// One to three decimal digits as a number; nothing for anything else.
std::optional<int> shortNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 3)
        return std::nullopt;
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// "FROM-TO" or a single station, within 1-247.
std::optional<std::pair<int, int>> stationRange(std::string_view typed) {
    const std::size_t dash = typed.find('-');
    const std::optional<int> from = shortNumber(typed.substr(0, dash));
    const std::optional<int> to =
        dash == std::string_view::npos ? from : shortNumber(typed.substr(dash + 1));
    if (!from || !to || *from < 1 || *to > kHighestStation || *from > *to)
        return std::nullopt;
    return std::pair{*from, *to};
}

} // namespace

int addressCommand(Context& context) {
    if (const int status = context.noArguments("to change the address: address --set NEW"))
        return status;
    if (context.isSet("set"))
        return changeAddress(context);
    if (context.isSet("force"))
        return context.usage("--force goes with --set NEW");
    if (const int status = context.openPort())
        return status;

    const Result result = context.engine().transact(
        protocol::sealed(protocol::addressQueryRequest()), protocol::ReplyKind::Address);
    json::Value object = context.record(protocol::kAddressQueryStation);
    // Replies that collide arrive damaged, or stop short of a whole one.
    const bool collided = result.status == Status::BadReply ||
                          (result.status == Status::Timeout && !result.reply.empty());
    if (result.status != Status::Ok)
        return context.fail(result, object, protocol::kAddressQueryStation, "the address query",
                            collided ? kCollisionAdvice : std::string());
    const std::optional<std::uint8_t> address =
        protocol::decodeAddress(result.reply.data(), result.reply.size());
    if (context.out().json()) {
        object["address"] = address ? json::Value(*address) : json::Value(nullptr);
        object["latency_ms"] = json::number(roundedMillis(result.latencyMs));
        object["status"] = statusName(result.status);
        context.out().object(object);
    } else {
        context.out().data(text::format("address %1", {address.value_or(0)}));
    }
    return kExitOk;
}

int scanCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    // Over a network the far line's rate is set on the server or the gateway: one rate.
    const Line& line = context.common().line;
    std::vector<int> bauds;
    if (line.isNetwork()) {
        if (context.isSet("bauds"))
            return context.usage(text::format("--bauds does not apply to %1: the rate of the "
                                              "serial line beyond it is set on the server or "
                                              "the gateway, and scan tries the stations at "
                                              "that one rate",
                                              {line.port}));
        bauds.push_back(line.baud);
    } else if (context.isSet("bauds")) {
        for (const std::string& item : text::split(context.value("bauds"), ',')) {
            const auto baud = parseBaud(text::trimmed(item));
            if (!baud)
                return context.usage(text::format("--bauds: '%1' is not a standard rate: %2",
                                                  {item, baudListText()}));
            bauds.push_back(*baud);
        }
    } else if (context.isSet("baud")) {
        bauds.push_back(context.common().line.baud);
    } else {
        bauds.assign(std::begin(kDefaultScanBauds), std::end(kDefaultScanBauds));
    }
    std::optional<std::pair<int, int>> range;
    if (context.isSet("stations")) {
        range = stationRange(context.value("stations"));
        if (!range)
            return context.usage(text::format("--stations %1 is not a range FROM-TO within 1-247",
                                              {context.value("stations")}));
    }
    if (const int status = context.openPort(bauds.front()))
        return status;

    Engine& engine = context.engine();
    int found = 0;
    // Tells one sensor found: its rate, station and reading.
    const auto report = [&](int station, const Result& reading) {
        ++found;
        const long long lux = luxOf(reading);
        if (context.out().json()) {
            json::Value object = context.record(station);
            object["lux"] = luxJson(lux);
            object["status"] = statusName(reading.status);
            if (reading.status == Status::Ok)
                object["latency_ms"] = json::number(roundedMillis(reading.latencyMs));
            context.out().object(object);
        } else {
            const std::string what =
                lux >= 0 ? text::format("%1 lx", {lux})
                         : text::format("(no reading: %1)", {statusName(reading.status)});
            context.out().data(line.isNetwork() ? text::format("station %1  %2", {station, what})
                                                : text::format("%1 baud  station %2  %3",
                                                               {engine.baud(), station, what}));
        }
    };

    for (const int baud : bauds) {
        if (baud != engine.baud() && !engine.setBaud(baud)) {
            context.out().message(
                text::format("qf7320: the port refuses %1 baud; that rate is skipped", {baud}));
            continue;
        }
        std::set<int> seen;
        const Result query = engine.transact(protocol::sealed(protocol::addressQueryRequest()),
                                             protocol::ReplyKind::Address);
        if (query.status == Status::PortLost)
            return context.fail(query, context.record(protocol::kAddressQueryStation),
                                protocol::kAddressQueryStation, "the address query");
        if (query.status == Status::Ok) {
            if (const auto station =
                    protocol::decodeAddress(query.reply.data(), query.reply.size());
                station && *station >= 1 && *station <= kHighestStation) {
                seen.insert(*station);
                report(*station, engine.transact(client::measurementRequest(*station),
                                                 protocol::ReplyKind::Registers));
            }
        } else if (query.status == Status::BadReply) {
            context.out().message(
                text::format("qf7320: at %1 baud the address query got a bad reply (%2): "
                             "several sensors may be answering at once; --stations reads each "
                             "station in turn",
                             {baud, query.failedCheck}));
        }
        if (!range)
            continue;
        for (int station = range->first; station <= range->second; ++station) {
            if (seen.count(station))
                continue;
            const Result reading = engine.transact(client::measurementRequest(station),
                                                   protocol::ReplyKind::Registers);
            if (reading.status == Status::PortLost)
                return context.fail(reading, context.record(station), station,
                                    "the read of register 0");
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
    std::vector<std::string> rates;
    for (const int baud : bauds)
        rates.push_back(std::to_string(baud));
    const std::string stationsText =
        range ? text::format(" or a read at stations %1-%2", {range->first, range->second})
              : std::string();
    const std::string failure =
        line.isNetwork() ? text::format("no sensor found through %1 with the address query%2",
                                        {line.port, stationsText})
                         : text::format("no sensor found at %1 baud with the address query%2",
                                        {text::join(rates, ","), stationsText});
    context.out().message(
        line.isNetwork()
            ? text::format("qf7320: %1. Check the wiring and rate of the serial line beyond "
                           "it and the sensor's power; try every station (--stations 1-247) "
                           "or a longer --timeout",
                           {failure})
            : text::format("qf7320: %1. Check the cable and the sensor's power; try other "
                           "rates (--bauds), every station (--stations 1-247) or a longer "
                           "--timeout",
                           {failure}));
    if (context.out().json()) {
        json::Value object = json::Value::object();
        object["time"] = isoTimeNow();
        object["port"] = context.common().line.port;
        object["status"] = statusName(Status::Timeout);
        object["error"] = failure;
        context.out().object(object);
    }
    return kExitNoReply;
}

} // namespace cli
