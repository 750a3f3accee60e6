#include "cli/command.h"

#include "modbus/hextext.h"
#include "platform/text.h"
#include "serial/deviceaccess.h"

#include <algorithm>
#include <cmath>

namespace cli {

namespace {

std::string checkText(const std::string& check, const std::vector<std::uint8_t>& reply) {
    if (check == "CRC")
        return "its CRC does not match";
    if (check == "station" && !reply.empty())
        return text::format("it comes from station %1", {reply[0]});
    if (check == "function" && reply.size() > 1)
        return "it carries function " + modbus::byteText(reply[1]);
    if (check == "byte count" && reply.size() > 2)
        return text::format("its byte count is %1", {reply[2]});
    if (check == "echo")
        return "its echo differs from the request";
    if (check == "protocol id" && reply.size() >= 4)
        return text::format("its MBAP protocol id is %1, not 0 (the stream is read no "
                            "further: the connection is made again)",
                            {reply[2] << 8 | reply[3]});
    if (check == "MBAP length" && reply.size() >= 6)
        return text::format("its MBAP length is %1, outside 2-254 (the stream is read no "
                            "further: the connection is made again)",
                            {reply[4] << 8 | reply[5]});
    return "its " + check + " is wrong";
}

// A gateway's own exceptions: it answers for a sensor it could not reach.
bool isGatewayException(std::uint8_t code) {
    return code == 0x0A || code == 0x0B;
}

// What to try after a transaction failed this way.
std::string usualAdvice(const Result& result, const Line& line, int baud) {
    const bool network = line.isNetwork();
    const bool modbusTcp = line.kind == transport::Kind::ModbusTcp;
    switch (result.status) {
    case Status::Ok:
        break;
    case Status::Timeout:
        if (modbusTcp)
            return "Check the station (-s), the gateway's serial settings and its wiring to the "
                   "sensor, and the sensor's power; 'qf7320 scan --stations 1-247' finds a sensor "
                   "whose address is not known";
        if (network)
            return text::format("Check the server's serial settings (rate %1, 8N1) and its "
                                "wiring to the sensor, the sensor's power and the station "
                                "(-s); 'qf7320 scan --stations 1-247' finds a sensor whose "
                                "address is not known",
                                {baud});
        return text::format("Check the cable and the sensor's power, the station (-s) and the "
                            "rate (-b %1); 'qf7320 scan' finds a sensor whose address or rate "
                            "is not known",
                            {baud});
    case Status::BadReply:
        if (result.failedCheck == "protocol id" || result.failedCheck == "MBAP length")
            return "The far end does not speak Modbus TCP: check the port number, and for a "
                   "transparent serial server use rtu+tcp:// instead";
        if (modbusTcp)
            return "Two sensors answering at once, or noise on the gateway's serial line: check "
                   "its wiring, termination and rate";
        return text::format("Noise on the line, a wrong rate or two sensors answering at once: "
                            "check the wiring, its termination and the rate (-b %1)",
                            {baud});
    case Status::Exception:
        if (isGatewayException(result.exceptionCode))
            return "The gateway answered for the sensor, which it could not reach: check the "
                   "station (-s), the gateway's serial settings (rate, 8N1) and its wiring to the "
                   "sensor";
        return "The sensor does not accept this request: check the value and the station "
               "(qf7320 help)";
    case Status::PortLost:
        if (network)
            return "Check the gateway, its power and the network, then try again";
        return "Check that the adapter is still plugged in, then try again";
    }
    return {};
}

} // namespace

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
        case kExitDiffers: // every station answered, and one of them differs
            return 1;
        case kExitNoReply:
            return 2;
        case kExitBadReply:
            return 3;
        case kExitException:
            return 4;
        case kExitPort:
            return 5;
        default:
            return 6;
        }
    };
    return rank(b) > rank(a) ? b : a;
}

std::optional<long long> wholeNumber(std::string_view text, long long lo, long long hi) {
    // At most 12 digits: anything longer is no count or time this program takes.
    const std::size_t digits = text.size() - (!text.empty() && text[0] == '-' ? 1 : 0);
    if (digits == 0 || digits > 12)
        return std::nullopt;
    return text::wholeNumber(text, lo, hi);
}

std::optional<long long> wholeOption(const OptionParser& parser, std::string_view option,
                                     long long lo, long long hi, long long fallback,
                                     std::string_view meaning, std::string& error) {
    if (!parser.isSet(option))
        return fallback;
    const std::string text = parser.value(option);
    const std::optional<long long> value = wholeNumber(text, lo, hi);
    if (!value)
        error = text::format("--%1 %2 is not %3: %4-%5", {option, text, meaning, lo, hi});
    return value;
}

std::optional<std::vector<int>> parseStationList(std::string_view text) {
    std::vector<int> stations;
    for (const std::string& item : text::split(text, ',')) {
        const std::vector<std::string> ends = text::split(item, '-');
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

std::string openFailureText(const std::string& device, const std::string& port,
                            platform::SerialPort::OpenError error, const std::string& portText) {
    const std::string name = port == device ? device : text::format("%1 (port %2)", {device, port});
    const serial::DeviceAccess access = serial::checkDeviceAccess(device);
    if (access.state == serial::DeviceAccess::State::NotFound ||
        error == platform::SerialPort::OpenError::NotFound)
        return text::format("cannot open %1: not found. Check that the adapter is plugged in "
                            "and the name is right (ls /dev/ttyUSB* /dev/serial/by-id)",
                            {name});
    if (access.state == serial::DeviceAccess::State::NoPermission)
        return text::format("cannot open %1: permission denied. To use it, %2",
                            {name, serial::permissionAdvice(access.group)});
    if (error == platform::SerialPort::OpenError::Permission ||
        error == platform::SerialPort::OpenError::Busy)
        return text::format("cannot open %1: busy, another program has it open (the window "
                            "qf7320-tool, another qf7320, a terminal or a modem manager). "
                            "Close it and try again",
                            {name});
    return text::format("cannot open %1: %2. Check the adapter and try again", {name, portText});
}

std::string connectFailureText(const Line& line, const transport::OpenFailure& failure,
                               int connectTimeoutMs) {
    using Reason = transport::OpenFailure::Reason;
    const std::string& where = line.port;
    switch (failure.reason) {
    case Reason::Resolve:
        return text::format("cannot connect to %1: %2. Check the name, or give the "
                            "gateway's IP address",
                            {where, failure.text});
    case Reason::Refused:
        return text::format("cannot connect to %1: refused, nothing listens on port %2 there. "
                            "Check the port (502 unless the gateway was set otherwise) and "
                            "that its Modbus server is on",
                            {where, line.tcpPort});
    case Reason::Timeout:
        return text::format("cannot connect to %1: no answer within %2 ms (%3). Check the "
                            "address, that the gateway is on and on this network, and any "
                            "firewall; --connect-timeout waits longer",
                            {where, connectTimeoutMs, failure.text});
    case Reason::None:
    case Reason::Serial:
    case Reason::Network:
        break;
    }
    return text::format("cannot connect to %1: %2. Check the address and the network",
                        {where, failure.text});
}

Context::Context(const OptionParser& parser, const Common& common, Output& out,
                 const std::string& command)
    : parser_(parser), common_(common), command_(command), out_(out) {
    engine_.setTimeout(common.timeoutMs);
    engine_.setRetries(common.retries);
    engine_.setConnectTimeout(common.connectTimeoutMs);
    engine_.setGap(common.gapMs);
    engine_.setTrace(out.trace());
}

std::vector<std::string> Context::arguments() const {
    std::vector<std::string> arguments = parser_.positionalArguments();
    if (!arguments.empty())
        arguments.erase(arguments.begin()); // the command's own name
    return arguments;
}

std::string Context::value(std::string_view option) const {
    return parser_.value(option);
}

bool Context::isSet(std::string_view option) const {
    return parser_.isSet(option);
}

std::optional<Line> Context::lineFor(const std::string& portText) {
    const LineChoice choice = chooseLine(portText, value("baud"), common_.programDir);
    if (!choice.line)
        usage(choice.error);
    return choice.line;
}

int Context::usage(const std::string& text) {
    out_.message("qf7320: " + text);
    return kExitUsage;
}

int Context::noArguments(const std::string& hint) {
    const std::vector<std::string> words = arguments();
    if (words.empty())
        return kExitOk;
    std::string text =
        text::format("%1 takes no arguments, not '%2'", {command_, text::join(words, " ")});
    if (!hint.empty())
        text += "; " + hint;
    return usage(text);
}

std::optional<long long> Context::wholeOption(std::string_view option, long long lo, long long hi,
                                              long long fallback, std::string_view meaning) {
    std::string error;
    const std::optional<long long> value =
        cli::wholeOption(parser_, option, lo, hi, fallback, meaning, error);
    if (!value)
        usage(error);
    return value;
}

std::string Context::openFailureText(const Line& line) const {
    return line.isNetwork()
               ? connectFailureText(line, engine_.openFailure(), common_.connectTimeoutMs)
               : cli::openFailureText(line.device, line.port, engine_.openError(),
                                      engine_.openErrorText());
}

int Context::openPort(std::optional<int> baud) {
    Line line = common_.line;
    line.baud = baud.value_or(line.baud);
    if (line.kind == transport::Kind::ModbusTcp && isSet("baud") && !baudNoted_) {
        baudNoted_ = true;
        out_.message("qf7320: --baud does not apply to tcp://: the gateway's serial rate is set "
                     "on the gateway; ignored");
    }
    if (engine_.open(line))
        return kExitOk;
    const std::string text = openFailureText(line);
    out_.message("qf7320: " + text);
    if (out_.json()) {
        json::Value object = record(common_.station);
        if (line.kind != transport::Kind::ModbusTcp)
            object["baud"] = line.baud;
        object["status"] = statusName(Status::PortLost);
        object["error"] = text;
        out_.object(object);
    }
    return kExitPort;
}

json::Value Context::record(int station, const std::string& time) const {
    json::Value object = json::Value::object();
    object["time"] = time.empty() ? isoTimeNow() : time;
    object["port"] = common_.line.port;
    // tcp:// has no rate on this side of the gateway.
    object["baud"] = common_.line.kind == transport::Kind::ModbusTcp ? json::Value(nullptr)
                                                                     : json::Value(engine_.baud());
    object["station"] = station;
    return object;
}

std::string Context::failureText(const Result& result, int station,
                                 const std::string& request) const {
    const std::string reply = modbus::frameText(result.reply.data(), result.reply.size());
    switch (result.status) {
    case Status::Ok:
        return {};
    case Status::Timeout: {
        std::string text =
            text::format("no reply from station %1 to %2 after %3 of %4 ms",
                         {station, request,
                          result.attempts == 1 ? std::string("1 attempt")
                                               : text::format("%1 attempts", {result.attempts}),
                          common_.timeoutMs});
        if (!result.reply.empty())
            text += text::format(" (the last reply stopped after %1 of %2 bytes: %3)",
                                 {result.reply.size(), result.expectedLength, reply});
        return text;
    }
    case Status::BadReply:
        return text::format("bad reply from station %1 to %2: %3 (%4)",
                            {station, request, checkText(result.failedCheck, result.reply), reply});
    case Status::Exception:
        if (isGatewayException(result.exceptionCode))
            return text::format("the gateway could not reach station %1 for %2: exception %3 (%4)",
                                {station, request, modbus::byteText(result.exceptionCode),
                                 protocol::exceptionName(result.exceptionCode)});
        return text::format("station %1 refused %2: exception %3 (%4)",
                            {station, request, modbus::byteText(result.exceptionCode),
                             protocol::exceptionName(result.exceptionCode)});
    case Status::PortLost:
        if (common_.line.isNetwork())
            return text::format("lost the connection to %1 (%2)",
                                {common_.line.port, result.portError});
        return text::format("lost the port %1 (%2)", {common_.line.device, result.portError});
    }
    return {};
}

int Context::fail(const Result& result, json::Value object, int station, const std::string& request,
                  const std::string& advice) {
    if (result.status == Status::Ok)
        return kExitOk;
    const std::string text = failureText(result, station, request);
    out_.message(text::format(
        "qf7320: %1. %2",
        {text, advice.empty() ? usualAdvice(result, common_.line, engine_.baud()) : advice}));
    if (out_.json()) {
        object["status"] = statusName(result.status);
        object["error"] = text;
        if (result.status == Status::Exception)
            object["exception"] = result.exceptionCode;
        if (result.status == Status::BadReply || result.status == Status::Exception)
            object["latency_ms"] = json::number(roundedMillis(result.latencyMs));
        out_.object(object);
    }
    return exitStatus(result.status);
}

} // namespace cli
