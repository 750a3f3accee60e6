#pragma once

// Modbus TCP framing as plain functions, no I/O: the 7-byte MBAP header (transaction id,
// protocol id 0, length, unit id) put in front of a request's PDU, and a byte stream from the
// server cut back into whole replies. A reply goes on as the RTU frame it stands for (unit id as
// the station, the PDU, a CRC computed here), so that one reply check serves every transport.

#include "modbus/protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mbap {

constexpr std::size_t kHeaderLength = 7;    // transaction id, protocol id, length, unit id
constexpr std::size_t kLongestLength = 254; // the length field: unit id and a PDU of 253 bytes
constexpr std::size_t kShortestLength = 2;  // the unit id and a function code
constexpr std::size_t kLongestAdu = 6 + kLongestLength;

// An 8-byte RTU request as Modbus TCP carries it: the header with this transaction id, its unit
// id the station, then the function and its four bytes; the CRC is dropped.
using Request = std::array<std::uint8_t, 12>;
Request encodeRequest(const protocol::Frame& rtuRequest, std::uint16_t transactionId);

// What the front of a byte stream holds.
struct Cut {
    enum class State {
        NeedMore, // not yet a whole reply: `needed` more bytes at least
        Whole,    // a whole reply of `consumed` bytes
        Broken,   // a header no server sends (`failed` says which field): the stream has lost
                  // its frame boundaries and cannot be read further
    };
    State state = State::NeedMore;
    std::size_t needed = 0;
    std::size_t consumed = 0;
    std::uint16_t transactionId = 0;
    std::uint16_t protocolId = 0;
    std::uint16_t length = 0;
    std::string failed; // "protocol id" or "MBAP length"
};

// Judges the first bytes of a stream: a protocol id other than 0 or a length outside 2-254 is
// broken; otherwise the reply is whole once 6 + length bytes are there.
Cut cut(const std::uint8_t* stream, std::size_t size);

// The RTU frame a whole reply stands for: unit id, PDU, CRC.
std::vector<std::uint8_t> rtuFrame(const std::uint8_t* adu, std::size_t size);

// A stream of replies cut as it arrives. Holds at most one reply's worth of bytes beyond what
// it has been told to read, so a server that floods it cannot grow it without bound.
class Reassembly {
public:
    // Room for at most this many more bytes: what the reply at the front still lacks, never
    // more than a whole longest reply.
    std::size_t room() const;
    // Takes bytes read from the stream (no more than room()).
    void append(const std::uint8_t* bytes, std::size_t size);
    // The state of the front of the stream.
    Cut front() const { return cut(buffer_.data(), buffer_.size()); }
    // The bytes of the whole reply at the front, which are then dropped from the stream.
    std::vector<std::uint8_t> take();
    // Forgets everything (a new connection).
    void clear() { buffer_.clear(); }
    std::size_t size() const { return buffer_.size(); }
    const std::vector<std::uint8_t>& bytes() const { return buffer_; }

private:
    std::vector<std::uint8_t> buffer_;
};

} // namespace mbap
