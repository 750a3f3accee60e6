#pragma once

// The settings file comm.set: one line "port,rate" followed by CR LF, both numbers signed 16-bit.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace commset {

struct Stored {
    std::int16_t port = 0;
    std::int16_t rate = 0;
};

// The first two numbers of the file's content. Each may be preceded by blanks and ends at a
// comma, a blank or a line end; whatever follows the second is ignored. Nothing when the content
// holds fewer than two numbers, a text that is not a number, or a number outside -32768..32767.
std::optional<Stored> parse(std::string_view content);

// The file's line for a port and a rate: "3,9600\r\n".
std::string format(std::int16_t port, std::int16_t rate);

} // namespace commset
