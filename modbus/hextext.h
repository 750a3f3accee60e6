#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace modbus {

// Two upper-case hexadecimal digits, with a leading 0 below 16: 10 gives "0A".
std::string byteText(std::uint8_t value);

// The request layout: every byte followed by one blank ("01 03 ... 0A ").
std::string requestText(const std::uint8_t* data, std::size_t length);

// The reply layout: every byte preceded by one blank (" 01 03 ... AF").
std::string replyText(const std::uint8_t* data, std::size_t length);

// Bytes as a log line shows them: separated by one blank, none before or after ("01 03 00").
std::string frameText(const std::uint8_t* data, std::size_t length);

} // namespace modbus
