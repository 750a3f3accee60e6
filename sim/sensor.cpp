#include "sim/sensor.h"

#include "modbus/crc16.h"
#include "modbus/hextext.h"
#include "modbus/protocol.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {

namespace {

constexpr std::uint8_t kIllegalFunction = 0x01;
constexpr std::uint8_t kIllegalAddress = 0x02;
constexpr std::uint8_t kIllegalValue = 0x03;
constexpr int kMaxReadQuantity = 125;
constexpr std::uint16_t kTemperature = 2350; // 23.50 degrees
constexpr std::uint16_t kHumidity = 4500;    // 45.00 %
constexpr std::size_t kFixedFrameLength = 8; // station, function, 2 x 16 bits, CRC

std::string hex4(unsigned value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text = "0x0000";
    for (int i = 0; i < 4; ++i)
        text[5 - i] = digits[(value >> (4 * i)) & 0xF];
    return text;
}

std::string functionText(std::uint8_t function) {
    return hex4(function).replace(2, 2, "");
}

Outcome exception(std::uint8_t station, std::uint8_t function, std::uint8_t code, std::string why) {
    static constexpr const char* names[] = {"", "illegal function", "illegal data address",
                                            "illegal data value"};
    Outcome out;
    out.addressed = true;
    out.answer =
        withCrc({station, static_cast<std::uint8_t>(function | protocol::kExceptionFlag), code});
    out.action = std::move(why);
    out.answerNote = "exception " + modbus::byteText(code) + " (" + names[code] + ")";
    return out;
}

std::string plural(unsigned n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

} // namespace

Bytes withCrc(Bytes body) {
    const std::uint16_t crc = modbus::crc16(body.data(), body.size());
    body.push_back(modbus::crcLowByte(crc));
    body.push_back(modbus::crcHighByte(crc));
    return body;
}

bool crcMatches(std::span<const std::uint8_t> frame) {
    if (frame.size() < 2)
        return false;
    const std::uint16_t crc = modbus::crc16(frame.data(), frame.size() - 2);
    return frame[frame.size() - 2] == modbus::crcLowByte(crc) &&
           frame[frame.size() - 1] == modbus::crcHighByte(crc);
}

std::string hexText(std::span<const std::uint8_t> bytes) {
    return modbus::frameText(bytes.data(), bytes.size());
}

Sensor::Sensor(std::uint8_t station) : station_(station) {}

void Sensor::fixLux(std::uint32_t lux) {
    fixedRaw_ = lux / 10;
}

void Sensor::presetParameter(int row, std::uint16_t value) {
    parameters_.at(static_cast<std::size_t>(row)) = value;
}

void Sensor::addNoise(double percent, std::uint32_t seed) {
    noisePercent_ = percent;
    noise_.seed(seed);
}

double Sensor::rawIlluminance(double seconds) const {
    const double light = fixedRaw_ ? *fixedRaw_ : driftingIlluminance(seconds);
    if (noisePercent_ <= 0)
        return light;
    std::uniform_real_distribution<double> off(-noisePercent_ / 100, noisePercent_ / 100);
    return light * (1 + off(noise_));
}

double Sensor::driftingIlluminance(double seconds) {
    // Daylight through a window: a slow swing over a quarter of an hour with a faster ripple
    // on top, between about 10 000 and 15 000 lx.
    constexpr double tau = 2 * std::numbers::pi;
    return 1250.0 + 180.0 * std::sin(tau * seconds / 900.0) + 25.0 * std::sin(tau * seconds / 97.0);
}

std::uint16_t Sensor::registerValue(int index, double seconds) const {
    switch (index) {
    case 0: {
        const double scale = parameters_[0] / 10000.0;
        const auto offset = static_cast<std::int16_t>(parameters_[1]);
        const double raw = std::round(rawIlluminance(seconds));
        const long value =
            offsetFirst_ ? std::lround((raw + offset) * scale) : std::lround(raw * scale) + offset;
        return static_cast<std::uint16_t>(std::clamp(value, 0L, 65535L));
    }
    case 1:
        return kTemperature;
    case 2:
        return kHumidity;
    default:
        return parameters_.at(static_cast<std::size_t>(index - kFirstParameter));
    }
}

std::optional<std::uint8_t> Sensor::write(std::uint16_t address, std::uint16_t value,
                                          std::string& action) {
    if (address == kStationRegister) {
        if (value < 1 || value > 247) {
            action = "refused station " + std::to_string(value) + ": outside 1-247";
            return kIllegalValue;
        }
        action = "station " + std::to_string(station_) + " -> " + std::to_string(value);
        station_ = static_cast<std::uint8_t>(value);
        return std::nullopt;
    }
    const int index = address - kParameterBase;
    if (index < kFirstParameter || index >= kRegisterCount) {
        action = "refused write to " + hex4(address) + ": no such register";
        return kIllegalAddress;
    }
    const auto stored = static_cast<std::uint16_t>((value + writeSkew_ + 65536) % 65536);
    parameters_[static_cast<std::size_t>(index - kFirstParameter)] = stored;
    action = "wrote " + hex4(address) + "=" + std::to_string(value);
    if (stored != value)
        action += " (stored " + std::to_string(stored) + ")";
    return std::nullopt;
}

Outcome Sensor::handle(std::span<const std::uint8_t> request, double seconds) {
    Outcome out;
    if (request.size() < 4) {
        out.action = "ignored: too short";
        return out;
    }
    if (!crcMatches(request)) {
        out.action = "ignored: bad CRC";
        return out;
    }
    const std::uint8_t station = request[0];
    const std::uint8_t function = request[1];

    if (station == protocol::kAddressQueryStation && function == protocol::kFunctionReadAddress) {
        out.addressed = true;
        out.answer = withCrc(
            {protocol::kAddressQueryStation, protocol::kFunctionReadAddress, 0x01, station_});
        out.action = "address read";
        out.answerNote = "station " + std::to_string(station_);
        return out;
    }
    if (station == 0) {
        if (function != 0x06 || request.size() != kFixedFrameLength) {
            out.action = "ignored: broadcast of function " + functionText(function);
            return out;
        }
        std::string action;
        write(protocol::wordAt(request, 2), protocol::wordAt(request, 4), action);
        out.action = "broadcast: " + action;
        return out;
    }
    if (station != station_) {
        out.action = "ignored: for station " + std::to_string(station);
        return out;
    }

    switch (function) {
    case 0x03:
    case 0x04: {
        if (request.size() != kFixedFrameLength)
            return exception(station, function, kIllegalValue, "malformed read");
        const unsigned start = protocol::wordAt(request, 2);
        const unsigned quantity = protocol::wordAt(request, 4);
        const std::string what = "read " + plural(quantity, "register") + " from " +
                                 std::to_string(start) + " (function " + std::to_string(function) +
                                 ")";
        if (quantity == 0 || quantity > kMaxReadQuantity)
            return exception(station, function, kIllegalValue, what + ": bad quantity");
        if (start + quantity > kRegisterCount)
            return exception(station, function, kIllegalAddress, what + ": outside 0-7");
        Bytes body{station, function, static_cast<std::uint8_t>(2 * quantity)};
        for (unsigned i = start; i < start + quantity; ++i) {
            const std::uint16_t value = registerValue(static_cast<int>(i), seconds);
            body.push_back(static_cast<std::uint8_t>(value >> 8));
            body.push_back(static_cast<std::uint8_t>(value & 0xFF));
        }
        out.addressed = true;
        out.answer = withCrc(std::move(body));
        out.action = what;
        out.answerNote = plural(quantity, "register");
        return out;
    }
    case 0x06: {
        if (request.size() != kFixedFrameLength)
            return exception(station, function, kIllegalValue, "malformed write");
        std::string action;
        if (const auto code =
                write(protocol::wordAt(request, 2), protocol::wordAt(request, 4), action))
            return exception(station, function, *code, action);
        out.addressed = true;
        out.answer.assign(request.begin(), request.end());
        out.action = action;
        out.answerNote = "echo";
        return out;
    }
    default:
        return exception(station, function, kIllegalFunction,
                         "unknown function " + functionText(function));
    }
}

} // namespace sim
