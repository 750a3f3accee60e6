#pragma once

// Numbers typed by the operator. Every handler reads its text boxes through these functions, so
// that "numeric", rounding and the fit into a byte mean the same thing everywhere in the program.
//
// Numeric text is plain decimal only: optional blanks around, an optional sign, digits with an
// optional point and fraction (".5" and "5." included), an optional exponent. The decimal
// separator is always a point, whatever the desktop's locale. A numeric text too large for a
// double (1e400) reads as an infinity and a vanishingly small one (1e-400) as zero, so callers
// see "does not fit" through their ordinary range tests and never meet undefined behaviour.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace opnum {

// The value of a numeric text, or nothing when the text is not numeric.
std::optional<double> parse(std::string_view text);

inline bool isNumeric(std::string_view text) {
    return parse(text).has_value();
}

// Rounded down toward minus infinity: 7.9 gives 7, -0.5 gives -1.
double floorValue(double value);

// Rounded to the nearest whole number, an exact half to the even neighbour: 2.5 gives 2.
double nearestValue(double value);

// A whole number in 0-255, or nothing.
std::optional<std::uint8_t> byteFit(double whole);

// A whole number in lo..hi, or nothing; comparisons stay in double precision.
std::optional<long long> wholeIn(double whole, long long lo, long long hi);

// Single-precision conversion of a numeric text; nothing when the text is not numeric or its
// value is too large for a float.
std::optional<float> toSingle(std::string_view text);

// "#0.00"-style text of value / divisor for a whole value and a divisor of 10^places: the
// integer part, a point, and exactly `places` digits (5 with 2 places gives "0.05"). Places
// run from 1 to 18; 0 or fewer give the whole number alone.
std::string fixedText(long long value, int places);

} // namespace opnum
