#pragma once

// The simulator's log on standard output: one line an event, with the time of day.

#include <span>
#include <string>

namespace sim {

void logLine(const std::string& text);
// "rx 01 03 00 00 00 01 84 0A  read 1 register from 0 (function 3)"
void logFrame(const std::string& direction, std::span<const std::uint8_t> bytes,
              const std::string& what);

} // namespace sim
