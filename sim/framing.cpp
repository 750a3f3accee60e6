#include "sim/framing.h"

#include "modbus/protocol.h"

namespace sim {

namespace {

constexpr std::size_t kCrc = 2;

Bytes header(std::uint16_t transaction, std::size_t following) {
    return {
        static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction), 0, 0,
        static_cast<std::uint8_t>(following >> 8),   static_cast<std::uint8_t>(following)};
}

} // namespace

std::optional<std::size_t> rtuRequestLength(std::span<const std::uint8_t> stream) {
    if (stream.size() < 2)
        return std::nullopt;
    switch (stream[1]) {
    case 0x01: // read coils, discrete inputs, holding and input registers
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05: // write single coil, single register
    case 0x06:
    case 0x25: // the sensor's address query: FA 25 02 00 00 01
        return 8;
    case 0x07: // read exception status, diagnostics counters
    case 0x0B:
    case 0x0C:
    case 0x11:
        return 4;
    case 0x0F: // write multiple coils, multiple registers: a byte count at 6
    case 0x10:
        if (stream.size() < 7)
            return std::nullopt;
        return 7 + std::size_t{stream[6]} + kCrc;
    case 0x16: // mask write register
        return 10;
    case 0x17: // read and write registers: a byte count at 10
        if (stream.size() < 11)
            return std::nullopt;
        return 11 + std::size_t{stream[10]} + kCrc;
    default:
        return std::nullopt;
    }
}

MbapFrame mbapFrame(std::span<const std::uint8_t> stream) {
    if (stream.size() >= 4 && protocol::wordAt(stream, 2) != 0)
        return {MbapFrame::State::bad, 0};
    if (stream.size() < 6)
        return {};
    const std::size_t following = protocol::wordAt(stream, 4);
    if (following < 2 || 6 + following > kMbapLargest)
        return {MbapFrame::State::bad, 0};
    if (stream.size() < 6 + following)
        return {};
    return {MbapFrame::State::complete, 6 + following};
}

std::uint16_t mbapTransaction(std::span<const std::uint8_t> frame) {
    return protocol::wordAt(frame, 0);
}

Bytes mbapToRtu(std::span<const std::uint8_t> frame) {
    return withCrc(Bytes(frame.begin() + 6, frame.end()));
}

std::optional<Bytes> rtuToMbap(std::uint16_t transaction, std::span<const std::uint8_t> answer) {
    if (answer.size() < 2 + kCrc || !crcMatches(answer))
        return std::nullopt;
    const std::size_t following = answer.size() - kCrc;
    Bytes reply = header(transaction, following);
    reply.insert(reply.end(), answer.begin(), answer.end() - kCrc);
    return reply;
}

Bytes mbapException(std::uint16_t transaction, std::uint8_t unit, std::uint8_t function,
                    std::uint8_t code) {
    Bytes reply = header(transaction, 3);
    reply.push_back(unit);
    reply.push_back(static_cast<std::uint8_t>(function | 0x80));
    reply.push_back(code);
    return reply;
}

} // namespace sim
