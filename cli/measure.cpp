// read: one measurement; and what every command that measures shares.

#include "cli/measure.h"
#include "cli/verbs.h"

#include "platform/text.h"

#include <string>
#include <vector>

namespace cli {

namespace {

constexpr int kMostRegisters = 8;

} // namespace

const std::string kReadOfRegister0 = "the read of register 0";

json::Value luxJson(long long lux) {
    return lux >= 0 ? json::Value(lux) : json::Value(nullptr);
}

int readCommand(Context& context) {
    if (const int status = context.noArguments())
        return status;
    const auto registers =
        context.wholeOption("registers", 1, kMostRegisters, 1, "a count of registers");
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
        // The record (its time read from the clock and the time zone) only goes out as JSON.
        json::Value object = context.out().json() ? context.record(station) : json::Value();
        if (result.status != Status::Ok) {
            exit = worseExit(
                exit,
                context.fail(result, object, station,
                             count == 1 ? kReadOfRegister0
                                        : text::format("the read of registers 0-%1", {count - 1})));
            // Nothing more can be asked over a port or a connection that is gone.
            if (result.status == Status::PortLost)
                break;
            continue;
        }

        const long long lux = luxOf(result);
        if (context.out().json()) {
            object["lux"] = luxJson(lux);
            object["registers"] = json::array(result.registers);
            object["latency_ms"] = json::number(roundedMillis(result.latencyMs));
            object["status"] = statusName(result.status);
            context.out().object(object);
            continue;
        }
        const bool showRegisters = context.isSet("registers");
        if (several) {
            std::string line = text::format("station %1: %2 lx", {station, lux});
            if (showRegisters) {
                std::vector<std::string> values;
                for (const std::uint16_t value : result.registers)
                    values.push_back(std::to_string(value));
                line += text::format("  registers %1", {text::join(values, " ")});
            }
            context.out().data(line);
            continue;
        }
        context.out().data(text::format("%1 lx", {lux}));
        if (showRegisters)
            for (std::size_t i = 0; i < result.registers.size(); ++i)
                context.out().data(text::format("register %1: %2", {i, result.registers[i]}));
    }
    return exit;
}

} // namespace cli
