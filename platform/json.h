#pragma once

// JSON below the window: nlohmann's object, written as every result of this program is: compact,
// keys in alphabetical order, UTF-8 as it is, and a number that holds a whole value written
// without a fraction ("12", not "12.0"), as scripts reading it expect.

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace json {

using Value = nlohmann::json;

// A measured figure (a latency, a lux reading): a whole number when it holds one, so that 12.0
// reads "12" as a person writes it.
Value number(double value);

// Whole numbers (registers) as an array.
Value array(const std::vector<std::uint16_t>& numbers);

// One compact line; text that is not valid UTF-8 is written with U+FFFD in its place.
std::string dump(const Value& value);

} // namespace json
