#pragma once

// Whole numbers from doubles, as std::trunc, std::ceil and std::round give them, with nothing but
// a conversion: qf7320 calls no function of the maths library, so that a one-shot command does
// not load it (one shared object fewer to map and relocate at every start).

#include <cmath>

namespace rounding {

// From 2^52 on a double has no fraction; below it, every double fits a long long.
inline constexpr double kNoFraction = 4503599627370496.0;

// Toward zero, keeping the sign (-0.5 gives -0); an infinity or NaN as it is.
inline double truncated(double x) {
    if (!(std::fabs(x) < kNoFraction))
        return x;
    return std::copysign(static_cast<double>(static_cast<long long>(x)), x);
}

// Up to the next whole number, as std::ceil.
inline double ceiling(double x) {
    const double whole = truncated(x);
    return whole < x ? whole + 1.0 : whole;
}

// To the nearest whole number, a half away from zero, as std::round.
inline double nearest(double x) {
    const double whole = truncated(x);
    const double rest = x - whole; // exact: the fraction's own bits
    if (rest >= 0.5)
        return whole + 1.0;
    if (rest <= -0.5)
        return whole - 1.0;
    return whole;
}

} // namespace rounding
