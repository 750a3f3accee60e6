#include "modbus/hextext.h"

namespace modbus {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";
}

std::string byteText(std::uint8_t value) {
    return std::string{kDigits[value >> 4], kDigits[value & 0x0F]};
}

std::string requestText(const std::uint8_t* data, std::size_t length) {
    std::string text;
    text.reserve(3 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text += byteText(data[i]);
        text += ' ';
    }
    return text;
}

std::string replyText(const std::uint8_t* data, std::size_t length) {
    std::string text;
    text.reserve(3 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text += ' ';
        text += byteText(data[i]);
    }
    return text;
}

std::string frameText(const std::uint8_t* data, std::size_t length) {
    std::string text = replyText(data, length);
    if (!text.empty())
        text.erase(0, 1);
    return text;
}

} // namespace modbus
