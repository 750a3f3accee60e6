// get and set: the calibration parameters, read and written as the window reads and writes them.

#include "cli/parameters.h"
#include "cli/verbs.h"

#include "modbus/opnumber.h"
#include "platform/text.h"

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace cli {

namespace {

constexpr Parameter kParameters[] = {
    {"scale", 0, 0.2, 6},    {"offset", 1, -1000, 1000}, {"da4", 2, 650, 800},
    {"da20", 3, 3000, 4095}, {"range", 4, 500, 65535},
};

// A register's number as two lowercase hex digits: "03".
std::string hexByte(std::uint8_t value) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(value));
    return digits;
}

} // namespace

std::span<const Parameter> calibrationParameters() {
    return kParameters;
}

const Parameter* findParameter(std::string_view name) {
    for (const Parameter& parameter : kParameters)
        if (name == parameter.name)
            return &parameter;
    return nullptr;
}

const Parameter& scaleParameter() {
    return kParameters[0];
}

const Parameter& offsetParameter() {
    return kParameters[1];
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

json::Value valueJson(const Parameter& parameter, std::uint16_t value) {
    const std::string shown = valueText(parameter, value);
    return parameter.row == 0
               ? json::number(opnum::parse(shown).value_or(0))
               : json::Value(text::wholeNumber(shown, LLONG_MIN, LLONG_MAX).value_or(0));
}

std::string numberText(double value) {
    return text::number(value, 'g', 10);
}

std::string writeRequestText(const Parameter& parameter) {
    return text::format("the write of %1 (register 0x0A%2)",
                        {parameter.name, hexByte(readRegister(parameter))});
}

std::string readBackRequestText(const Parameter& parameter) {
    return text::format("the read-back of %1 (register %2) after its write",
                        {parameter.name, int(readRegister(parameter))});
}

ParameterWrite writeParameter(Engine& engine, int station, const Parameter& parameter,
                              std::uint16_t value, bool readBack) {
    ParameterWrite outcome;
    outcome.value = value;
    protocol::Frame write =
        protocol::parameterWriteRequest(static_cast<std::uint8_t>(station), parameter.row, value);
    protocol::sealCrc(write);
    outcome.result = engine.transact(write, protocol::ReplyKind::WriteEcho);
    if (outcome.result.status != Status::Ok) {
        outcome.failedRequest = writeRequestText(parameter);
        return outcome;
    }
    outcome.acknowledged = true;
    if (!readBack)
        return outcome;
    outcome.result = engine.transact(parameterReadRequest(station, readRegister(parameter), 1),
                                     protocol::ReplyKind::Registers);
    if (outcome.result.status != Status::Ok) {
        outcome.failedRequest = readBackRequestText(parameter);
        return outcome;
    }
    outcome.held = outcome.result.registers.at(0);
    return outcome;
}

std::string verificationFailureText(int station, const Parameter& parameter,
                                    const ParameterWrite& write) {
    const std::uint16_t held = write.held.value_or(0);
    return text::format("verification failed: station %1 acknowledged %2 %3 "
                        "(register value %4) but reads back %5 (%6)",
                        {station, parameter.name, valueText(parameter, write.value), write.value,
                         valueText(parameter, held), held});
}

std::optional<std::uint16_t> encodeParameter(const Parameter& parameter, double value) {
    return protocol::parameterRegisterValue(text::shortest(value), parameter.row);
}

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
    json::Value object = context.record(station);

    const bool verify = !context.isSet("no-verify");
    const ParameterWrite write =
        writeParameter(context.engine(), station, *parameter, *encoded, verify);
    if (write.result.status != Status::Ok)
        return context.fail(write.result, object, station, write.failedRequest);

    if (!verify) {
        if (context.out().json()) {
            object[name] = valueJson(*parameter, *encoded);
            object["verified"] = false;
            object["latency_ms"] = json::number(roundedMillis(write.result.latencyMs));
            object["status"] = statusName(write.result.status);
            context.out().object(object);
        } else {
            context.out().data(text::format("%1 %2 (written, not read back)",
                                            {name, valueText(*parameter, *encoded)}));
        }
        return kExitOk;
    }

    const std::uint16_t held = *write.held;
    const bool verified = write.verified();
    if (context.out().json()) {
        object[name] = valueJson(*parameter, held);
        object["verified"] = verified;
        object["latency_ms"] = json::number(roundedMillis(write.result.latencyMs));
        object["status"] = statusName(write.result.status);
    }
    if (!verified) {
        const std::string failure = verificationFailureText(station, *parameter, write);
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
