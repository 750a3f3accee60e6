#include "client/mbap.h"

#include "modbus/crc16.h"

#include <algorithm>

namespace mbap {

namespace {

std::uint16_t word(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

} // namespace

Request encodeRequest(const protocol::Frame& rtuRequest, std::uint16_t transactionId) {
    // The PDU of every request the sensor understands is five bytes: the length counts the unit
    // id and those.
    constexpr std::uint8_t kLength = 6;
    return {static_cast<std::uint8_t>(transactionId >> 8),
            static_cast<std::uint8_t>(transactionId & 0xFF),
            0,
            0,
            0,
            kLength,
            rtuRequest[0],
            rtuRequest[1],
            rtuRequest[2],
            rtuRequest[3],
            rtuRequest[4],
            rtuRequest[5]};
}

Cut cut(const std::uint8_t* stream, std::size_t size) {
    Cut result;
    if (size < kHeaderLength) {
        result.needed = kHeaderLength - size;
        return result;
    }
    result.transactionId = word(stream);
    result.protocolId = word(stream + 2);
    result.length = word(stream + 4);
    if (result.protocolId != 0) {
        result.state = Cut::State::Broken;
        result.failed = "protocol id";
        return result;
    }
    if (result.length < kShortestLength || result.length > kLongestLength) {
        result.state = Cut::State::Broken;
        result.failed = "MBAP length";
        return result;
    }
    const std::size_t whole = 6 + std::size_t(result.length);
    if (size < whole) {
        result.needed = whole - size;
        return result;
    }
    result.state = Cut::State::Whole;
    result.consumed = whole;
    return result;
}

std::vector<std::uint8_t> rtuFrame(const std::uint8_t* adu, std::size_t size) {
    if (size < kHeaderLength)
        return {};
    std::vector<std::uint8_t> frame(adu + 6, adu + size);
    const std::uint16_t crc = modbus::crc16(frame.data(), frame.size());
    frame.push_back(modbus::crcLowByte(crc));
    frame.push_back(modbus::crcHighByte(crc));
    return frame;
}

std::size_t Reassembly::room() const {
    const Cut front = this->front();
    switch (front.state) {
    case Cut::State::NeedMore:
        return front.needed;
    case Cut::State::Whole:
    case Cut::State::Broken:
        break;
    }
    return 0;
}

void Reassembly::append(const std::uint8_t* bytes, std::size_t size) {
    buffer_.insert(buffer_.end(), bytes, bytes + std::min(size, kLongestAdu));
}

std::vector<std::uint8_t> Reassembly::take() {
    const Cut front = this->front();
    if (front.state != Cut::State::Whole)
        return {};
    std::vector<std::uint8_t> adu(buffer_.begin(),
                                  buffer_.begin() + static_cast<std::ptrdiff_t>(front.consumed));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(front.consumed));
    return adu;
}

} // namespace mbap
