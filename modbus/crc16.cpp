#include "modbus/crc16.h"

namespace modbus {

std::uint16_t crc16(const std::uint8_t* data, std::size_t length) {
    std::uint16_t reg = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            if (reg & 1u)
                reg = static_cast<std::uint16_t>((reg >> 1) ^ 0xA001u);
            else
                reg = static_cast<std::uint16_t>(reg >> 1);
        }
    }
    return reg;
}

} // namespace modbus
