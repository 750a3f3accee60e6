#pragma once

#include <cstddef>
#include <cstdint>

namespace modbus {

// CRC-16/MODBUS (reflected polynomial 0xA001, initial value 0xFFFF, no final XOR), computed
// bit by bit over data[0..length-1]. The frame carries the low-order byte first.
std::uint16_t crc16(const std::uint8_t* data, std::size_t length);

inline std::uint8_t crcLowByte(std::uint16_t crc) {
    return static_cast<std::uint8_t>(crc & 0xFF);
}
inline std::uint8_t crcHighByte(std::uint16_t crc) {
    return static_cast<std::uint8_t>(crc >> 8);
}

} // namespace modbus
