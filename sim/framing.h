#pragma once

// Where requests end in a TCP stream, and the MBAP header of Modbus TCP: plain functions on bytes.

#include "sim/sensor.h"

#include <cstdint>
#include <optional>
#include <span>

namespace sim {

// The length of the RTU request the stream starts with, from its function code (and byte count
// where it has one); nothing when the bytes so far cannot tell, or the function is none whose
// request length is fixed by the standard.
std::optional<std::size_t> rtuRequestLength(std::span<const std::uint8_t> stream);

// Modbus TCP: transaction id, protocol id 0, length of what follows, unit id, then the PDU.
constexpr std::size_t kMbapHeader = 7;
// The PDU is at most 253 bytes, so at most 254 follow the length field.
constexpr std::size_t kMbapLargest = 6 + 1 + 253;

struct MbapFrame {
    enum class State { incomplete, bad, complete } state = State::incomplete;
    std::size_t length = 0; // with complete: the frame's length, header included
};

// What the stream starts with: a whole frame, too few bytes yet, or a header that no Modbus TCP
// client sends (protocol id not 0, length under 2 or over 254).
MbapFrame mbapFrame(std::span<const std::uint8_t> stream);

std::uint16_t mbapTransaction(std::span<const std::uint8_t> frame);

// The request as it goes on the gateway's serial line: unit id, PDU, CRC.
Bytes mbapToRtu(std::span<const std::uint8_t> frame);

// The answer from the serial line as the gateway sends it back: the request's transaction id, the
// answer's station and PDU; nothing when it fails its CRC or is too short to hold a function.
std::optional<Bytes> rtuToMbap(std::uint16_t transaction, std::span<const std::uint8_t> answer);

// An exception reply to the unit and function of a request.
Bytes mbapException(std::uint16_t transaction, std::uint8_t unit, std::uint8_t function,
                    std::uint8_t code);

// Exception 0x0B: gateway target device failed to respond.
constexpr std::uint8_t kGatewayTargetFailed = 0x0B;

} // namespace sim
