// get and set: the calibration parameters, read and written as the window reads and writes them.

#include "cli/verbs.h"

#include "modbus/opnumber.h"
#include "platform/text.h"

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

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

const Parameter* findParameter(const std::string& name) {
    for (const Parameter& parameter : kParameters)
        if (name == parameter.name)
            return &parameter;
    return nullptr;
}

std::string parameterNames() {
    return text::join(calibrationParameterNames(), " ");
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

std::string valueText(const Parameter& parameter, std::uint16_t value) {
    return protocol::parameterText(parameter.row, value);
}

// The value as JSON: the scale as a number with its decimals, the others as whole numbers.
json::Value valueJson(const Parameter& parameter, std::uint16_t value) {
    const std::string shown = valueText(parameter, value);
    return parameter.row == 0
               ? json::number(opnum::parse(shown).value_or(0))
               : json::Value(text::wholeNumber(shown, LLONG_MIN, LLONG_MAX).value_or(0));
}

std::string numberText(double value) {
    return text::number(value, 'g', 10);
}

// A register's number as two lowercase hex digits: "03".
std::string hexByte(std::uint8_t value) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(value));
    return digits;
}

} // namespace

std::vector<std::string> calibrationParameterNames() {
    std::vector<std::string> names;
    for (const Parameter& parameter : kParameters)
        names.emplace_back(parameter.name);
    return names;
}

int getCommand(Context& context) {
    const std::vector<std::string> arguments = context.arguments();
    if (arguments.size() > 1)
        return context.usage(
            text::format("get takes one name at most: %1 or all", {parameterNames()}));
    const std::string name = arguments.empty() ? std::string("all") : arguments[0];
    const Parameter* one = findParameter(name);
    if (!one && name != "all")
        return context.usage(
            text::format("no parameter '%1': %2 or all", {name, parameterNames()}));
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
        json::Value object = context.record(station);
        if (result.status != Status::Ok) {
            exit = worseExit(
                exit,
                context.fail(result, object, station,
                             one ? text::format("the read of %1 (register %2)", {name, int(first)})
                                 : std::string("the read of the parameters (registers 3-7)")));
            // Nothing more can be asked over a port or a connection that is gone.
            if (result.status == Status::PortLost)
                break;
            continue;
        }

        std::vector<std::string> values;
        for (std::size_t i = 0; i < result.registers.size(); ++i) {
            const Parameter& parameter = one ? *one : kParameters[i];
            const std::string shown =
                text::format("%1 %2", {parameter.name, valueText(parameter, result.registers[i])});
            if (context.out().json())
                object[parameter.name] = valueJson(parameter, result.registers[i]);
            else if (several)
                values.push_back(shown);
            else
                context.out().data(shown);
        }
        if (context.out().json()) {
            object["latency_ms"] = json::number(roundedMillis(result.latencyMs));
            object["status"] = statusName(result.status);
            context.out().object(object);
        } else if (several) {
            context.out().data(text::format("station %1: %2", {station, text::join(values, ", ")}));
        }
    }
    return exit;
}

int setCommand(Context& context) {
    const std::vector<std::string> arguments = context.arguments();
    if (arguments.size() != 2)
        return context.usage(text::format("set needs a name and a value, e.g. set scale 1.2345; "
                                          "the names are %1",
                                          {parameterNames()}));
    const Parameter* parameter = findParameter(arguments[0]);
    if (!parameter)
        return context.usage(
            text::format("no parameter '%1': %2", {arguments[0], parameterNames()}));
    const std::string name = parameter->name;
    const std::string& typed = arguments[1];
    const std::optional<double> number = opnum::parse(typed);
    if (!number)
        return context.usage(text::format("%1 '%2' is not a number", {name, typed}));

    // The window's hint is the sensor's documented range: outside it only on purpose.
    const bool force = context.isSet("force");
    if (!force && (*number < parameter->low || *number > parameter->high))
        return context.usage(
            text::format("%1 %2 is outside %3 to %4, the range the window "
                         "gives for it; nothing was sent. --force sends it "
                         "all the same",
                         {name, typed, numberText(parameter->low), numberText(parameter->high)}));
    const std::optional<std::uint16_t> encoded =
        protocol::parameterRegisterValue(typed, parameter->row);
    if (!encoded)
        return context.usage(text::format("%1 %2 cannot be sent: encoded as the window encodes "
                                          "it, it does not fit in a 16-bit register; nothing "
                                          "was sent",
                                          {name, typed}));
    if (const int status = context.openPort())
        return status;

    const int station = context.common().station;
    const std::uint8_t readBack = readRegister(*parameter);
    json::Value object = context.record(station);

    protocol::Frame write = protocol::parameterWriteRequest(static_cast<std::uint8_t>(station),
                                                            parameter->row, *encoded);
    protocol::sealCrc(write);
    const Result written = context.engine().transact(write, protocol::ReplyKind::WriteEcho);
    if (written.status != Status::Ok)
        return context.fail(
            written, object, station,
            text::format("the write of %1 (register 0x0A%2)", {name, hexByte(readBack)}));

    if (context.isSet("no-verify")) {
        if (context.out().json()) {
            object[name] = valueJson(*parameter, *encoded);
            object["verified"] = false;
            object["latency_ms"] = json::number(roundedMillis(written.latencyMs));
            object["status"] = statusName(written.status);
            context.out().object(object);
        } else {
            context.out().data(text::format("%1 %2 (written, not read back)",
                                            {name, valueText(*parameter, *encoded)}));
        }
        return kExitOk;
    }

    const Result read = context.engine().transact(parameterReadRequest(station, readBack, 1),
                                                  protocol::ReplyKind::Registers);
    if (read.status != Status::Ok)
        return context.fail(read, object, station,
                            text::format("the read-back of %1 (register %2) after its write",
                                         {name, int(readBack)}));

    const std::uint16_t held = read.registers.at(0);
    const bool verified = held == *encoded;
    if (context.out().json()) {
        object[name] = valueJson(*parameter, held);
        object["verified"] = verified;
        object["latency_ms"] = json::number(roundedMillis(read.latencyMs));
        object["status"] = statusName(read.status);
    }
    if (!verified) {
        const std::string failure =
            text::format("verification failed: station %1 acknowledged %2 %3 "
                         "(register value %4) but reads back %5 (%6)",
                         {station, name, valueText(*parameter, *encoded), *encoded,
                          valueText(*parameter, held), held});
        context.out().message(text::format("qf7320: %1. Write it again; if it still differs, "
                                           "the sensor does not keep this value",
                                           {failure}));
        if (context.out().json()) {
            object["error"] = failure;
            context.out().object(object);
        }
        return kExitVerify;
    }
    if (context.out().json())
        context.out().object(object);
    else
        context.out().data(text::format("%1 %2 (verified)", {name, valueText(*parameter, held)}));
    return kExitOk;
}

} // namespace cli
