#include "modbus/opnumber.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace opnum {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Decimal exponent of the leading significant digit of a mantissa such as "000123.45" or
// ".0012", used only to tell an overflow from an underflow.
long long leadingExponent(std::string_view mantissa) {
    const auto point = mantissa.find('.');
    const std::string_view intPart = mantissa.substr(0, point);
    const auto firstNonZero = intPart.find_first_not_of('0');
    if (firstNonZero != std::string_view::npos)
        return static_cast<long long>(intPart.size() - firstNonZero) - 1;
    if (point == std::string_view::npos)
        return 0;
    const std::string_view frac = mantissa.substr(point + 1);
    const auto fracNonZero = frac.find_first_not_of('0');
    if (fracNonZero == std::string_view::npos)
        return 0;
    return -static_cast<long long>(fracNonZero) - 1;
}

} // namespace

std::optional<double> parse(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    std::string_view body = text.substr(begin, end - begin);

    bool negative = false;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }

    // Check the shape: digits [. digits] [e [sign] digits], at least one mantissa digit.
    std::size_t pos = 0;
    std::size_t mantissaDigits = 0;
    while (pos < body.size() && isDigit(body[pos])) {
        ++pos;
        ++mantissaDigits;
    }
    if (pos < body.size() && body[pos] == '.') {
        ++pos;
        while (pos < body.size() && isDigit(body[pos])) {
            ++pos;
            ++mantissaDigits;
        }
    }
    if (mantissaDigits == 0)
        return std::nullopt;
    const std::string_view mantissa = body.substr(0, pos);
    long long exponent = 0;
    if (pos < body.size() && (body[pos] == 'e' || body[pos] == 'E')) {
        ++pos;
        bool expNegative = false;
        if (pos < body.size() && (body[pos] == '+' || body[pos] == '-')) {
            expNegative = body[pos] == '-';
            ++pos;
        }
        std::size_t expDigits = 0;
        while (pos < body.size() && isDigit(body[pos])) {
            // Saturate: an exponent of a thousand digits is just "very large".
            if (exponent < 1'000'000'000)
                exponent = exponent * 10 + (body[pos] - '0');
            ++pos;
            ++expDigits;
        }
        if (expDigits == 0)
            return std::nullopt;
        if (expNegative)
            exponent = -exponent;
    }
    if (pos != body.size())
        return std::nullopt;

    double value = 0.0;
    const auto [ptr, ec] =
        std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        value = (leadingExponent(mantissa) + exponent > 0) ? std::numeric_limits<double>::infinity()
                                                           : 0.0;
    } else if (ec != std::errc{} || ptr != body.data() + body.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

double floorValue(double value) {
    return std::floor(value);
}

double nearestValue(double value) {
    if (!std::isfinite(value))
        return value;
    const double down = std::floor(value);
    const double diff = value - down;
    if (diff > 0.5)
        return down + 1.0;
    if (diff < 0.5)
        return down;
    // A half is only left below 2^52, where `down` fits a long long.
    return static_cast<long long>(down) % 2 == 0 ? down : down + 1.0;
}

std::optional<std::uint8_t> byteFit(double whole) {
    if (!(whole >= 0.0 && whole <= 255.0))
        return std::nullopt;
    return static_cast<std::uint8_t>(whole);
}

std::optional<long long> wholeIn(double whole, long long lo, long long hi) {
    // 2^63 is the first double a long long cannot hold; a bound near the type's limit rounds up
    // to it when converted to double, so it is refused here before the conversion.
    constexpr double kBeyondLongLong = 9223372036854775808.0;
    if (!(whole >= static_cast<double>(lo) && whole <= static_cast<double>(hi)) ||
        whole >= kBeyondLongLong)
        return std::nullopt;
    return static_cast<long long>(whole);
}

std::optional<float> toSingle(std::string_view text) {
    const auto value = parse(text);
    if (!value)
        return std::nullopt;
    if (!(std::fabs(*value) <= static_cast<double>(std::numeric_limits<float>::max())))
        return std::nullopt;
    return static_cast<float>(*value);
}

std::string fixedText(long long value, int places) {
    if (places <= 0)
        return std::to_string(value);
    places = std::min(places, 18); // 10^18 is the largest power of ten a long long holds
    long long divisor = 1;
    for (int i = 0; i < places; ++i)
        divisor *= 10;
    const bool negative = value < 0;
    const unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value)
                                                  : static_cast<unsigned long long>(value);
    const auto udivisor = static_cast<unsigned long long>(divisor);
    const std::string fraction = std::to_string(magnitude % udivisor);
    std::string text = negative ? "-" : "";
    text += std::to_string(magnitude / udivisor);
    text += '.';
    text.append(static_cast<std::size_t>(places) - fraction.size(), '0');
    text += fraction;
    return text;
}

} // namespace opnum
