#include "modbus/protocol.h"

#include "modbus/crc16.h"
#include "modbus/opnumber.h"

#include <cmath>

namespace protocol {

Frame readRequest(std::uint8_t station, std::uint8_t function, std::uint8_t start,
                  std::uint8_t count) {
    return {station, function, 0x00, start, 0x00, count, 0, 0};
}

Frame parameterWriteRequest(std::uint8_t station, int row, std::uint16_t value) {
    return {station,
            kFunctionWriteRegister,
            kParameterWriteRegisterHigh,
            static_cast<std::uint8_t>(kParameterFirstRegister + row),
            static_cast<std::uint8_t>(value / 256),
            static_cast<std::uint8_t>(value % 256),
            0,
            0};
}

Frame addressQueryRequest() {
    return {kAddressQueryStation, kFunctionReadAddress, 0x02, 0x00, 0x00, 0x01, 0, 0};
}

Frame addressChangeRequest(std::uint8_t station, std::uint8_t newStation) {
    return {station, kFunctionWriteRegister, kAddressRegisterHigh, 0x00, 0x00, newStation, 0, 0};
}

void sealCrc(Frame& frame) {
    const std::uint16_t crc = modbus::crc16(frame.data(), 6);
    frame[6] = modbus::crcLowByte(crc);
    frame[7] = modbus::crcHighByte(crc);
}

std::uint8_t floorByteOrZero(std::string_view text, double offset) {
    const auto value = opnum::parse(text);
    if (!value)
        return 0;
    return opnum::byteFit(opnum::floorValue(*value + offset)).value_or(0);
}

std::uint8_t nearestByteOrZero(std::string_view text) {
    const auto value = opnum::parse(text);
    if (!value)
        return 0;
    return opnum::byteFit(opnum::nearestValue(*value)).value_or(0);
}

std::optional<std::uint16_t> parameterRegisterValue(std::string_view text, int row) {
    auto v = opnum::toSingle(text);
    if (!v)
        return std::nullopt;
    const double wide = static_cast<double>(*v);
    if (wide > 65535.0 || wide < -65535.0)
        return std::nullopt;
    float scaled = *v;
    if (row == 0)
        scaled = scaled * 10000.0f;
    if (scaled < 0.0f)
        scaled = scaled + 65536.0f;
    const auto n = opnum::wholeIn(opnum::nearestValue(static_cast<double>(scaled)), 0, 65535);
    if (!n)
        return std::nullopt;
    return static_cast<std::uint16_t>(*n);
}

std::vector<FieldText> decodeMeasurement(const std::uint8_t* reply, std::size_t length,
                                         std::string_view startText) {
    std::vector<FieldText> fields;
    if (length < 3)
        return fields;

    // The offset is 2 * (S - 1) for a start S other than 0, as the sensor's register map places
    // the values; an unreadable start text means offset 0.
    double offset = 0.0;
    if (const auto start = opnum::parse(startText)) {
        const double s = opnum::floorValue(*start);
        if (s != 0.0 && std::isfinite(s))
            offset = 2.0 * (s - 1.0);
    }

    const std::size_t last = static_cast<std::size_t>(reply[2]) + 1;
    int k = 0;
    for (std::size_t i = 3; i <= last; i += 2, ++k) {
        if (i + 1 >= length)
            break; // the register's bytes never arrived: its field keeps its text
        const long long value = reply[i] * 256 + reply[i + 1];
        const double d = offset + k;
        if (d == 0.0)
            fields.push_back({0, std::to_string(value * 10)});
        else if (d == 1.0)
            fields.push_back({1, opnum::fixedText(value, 2)});
        else if (d == 2.0)
            fields.push_back({2, opnum::fixedText(value, 4)});
        else if (d == 3.0)
            fields.push_back({3, opnum::fixedText(value, 2)});
    }
    return fields;
}

std::optional<std::string> decodeParameter(const std::uint8_t* reply, std::size_t length, int row) {
    if (length < 5 || row < 0 || row >= kParameterRows)
        return std::nullopt;
    return parameterText(row, static_cast<std::uint16_t>(reply[3] * 256 + reply[4]));
}

std::string parameterText(int row, std::uint16_t value) {
    long long v = value;
    switch (row) {
    case 0:
        return opnum::fixedText(v, 4);
    case 1:
        if (v > 32768)
            v -= 65536;
        return std::to_string(v);
    default:
        return std::to_string(v);
    }
}

std::optional<std::uint8_t> decodeAddress(const std::uint8_t* reply, std::size_t length) {
    if (length < 4)
        return std::nullopt;
    const bool changeEcho =
        reply[1] == kFunctionWriteRegister && reply[2] == kAddressRegisterHigh && reply[3] == 0x00;
    if (changeEcho) {
        if (length < 6)
            return std::nullopt;
        return reply[5];
    }
    return reply[3];
}

namespace {

int requestedCount(const Frame& request) {
    return request[4] * 256 + request[5];
}

ReplyCheck badReply(std::string failed) {
    return {ReplyCheck::Verdict::BadReply, std::move(failed), 0};
}

} // namespace

std::size_t expectedReplyLength(const Frame& request, ReplyKind kind, const std::uint8_t* received,
                                std::size_t length) {
    if (length >= 2 && received[1] == (request[1] | kExceptionFlag))
        return kExceptionReplyLength;
    switch (kind) {
    case ReplyKind::Registers:
        return static_cast<std::size_t>(readReplyLength(requestedCount(request)));
    case ReplyKind::WriteEcho:
        return kWriteEchoLength;
    case ReplyKind::Address:
        return kAddressReplyLength;
    }
    return kWriteEchoLength;
}

ReplyCheck checkReply(const Frame& request, ReplyKind kind, const std::uint8_t* reply,
                      std::size_t length) {
    if (length < kExceptionReplyLength ||
        length != expectedReplyLength(request, kind, reply, length))
        return badReply("length");
    const std::uint16_t crc = modbus::crc16(reply, length - 2);
    if (reply[length - 2] != modbus::crcLowByte(crc) ||
        reply[length - 1] != modbus::crcHighByte(crc))
        return badReply("CRC");
    if (reply[0] != request[0])
        return badReply("station");
    if (reply[1] == (request[1] | kExceptionFlag))
        return {ReplyCheck::Verdict::Exception, {}, reply[2]};
    if (reply[1] != request[1])
        return badReply("function");
    switch (kind) {
    case ReplyKind::Registers:
        if (reply[2] != 2 * requestedCount(request))
            return badReply("byte count");
        break;
    case ReplyKind::Address:
        if (reply[2] != 1)
            return badReply("byte count");
        break;
    case ReplyKind::WriteEcho:
        for (std::size_t i = 2; i < 6; ++i)
            if (reply[i] != request[i])
                return badReply("echo");
        break;
    }
    return {ReplyCheck::Verdict::Ok, {}, 0};
}

std::string exceptionName(std::uint8_t code) {
    switch (code) {
    case 0x01:
        return "illegal function";
    case 0x02:
        return "illegal data address";
    case 0x03:
        return "illegal data value";
    case 0x04:
        return "server device failure";
    case 0x05:
        return "acknowledge";
    case 0x06:
        return "server device busy";
    case 0x08:
        return "memory parity error";
    case 0x0A:
        return "gateway path unavailable";
    case 0x0B:
        return "gateway target device failed to respond";
    default:
        return "unknown exception";
    }
}

std::vector<std::uint16_t> replyRegisters(const std::uint8_t* reply, std::size_t length) {
    std::vector<std::uint16_t> registers;
    if (length < 3)
        return registers;
    for (std::size_t i = 3; i + 1 < length && i + 1 <= 2u + reply[2]; i += 2)
        registers.push_back(static_cast<std::uint16_t>(reply[i] * 256 + reply[i + 1]));
    return registers;
}

} // namespace protocol
