#pragma once

// Text as plain C++: UTF-8 in std::string everywhere below the window. format() fills %1 … %9
// and writes numbers as Qt's QString::arg does, so that a message or a figure reads the same
// whether the window or the command line words it.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace text {

// One value for format(): a text, or a number written as QString::arg writes it (a whole number
// in decimal, a floating-point one as printf's %g).
class Arg {
public:
    Arg(std::string_view value) : value_(value) {}
    Arg(const std::string& value) : value_(value) {}
    Arg(const char* value) : value_(value) {}
    Arg(char value) : value_(1, value) {}
    template <typename Integer>
    requires(std::is_integral_v<Integer> && !std::is_same_v<Integer, char> &&
             !std::is_same_v<Integer, bool>) Arg(Integer value)
        : value_(std::to_string(value)) {}
    Arg(double value);

    const std::string& str() const { return value_; }

private:
    std::string value_;
};

// `pattern` with %1 … %9 replaced by the values in order, in one pass (a value's own "%2" is
// left as it is). A % followed by anything else stays as it is.
std::string format(std::string_view pattern, std::initializer_list<Arg> args);

// A floating-point number as QString::number writes it: 'g' (printf %g), 'f' (fixed) or 'e',
// with `precision` digits.
std::string number(double value, char form = 'g', int precision = 6);

// The shortest text that reads back as the same double ("0.1", "12.5", "1e-05").
std::string shortest(double value);

// A whole number in decimal digits within lo..hi, an optional minus sign first; nothing for
// anything else (blanks, a plus sign, other characters, an empty text, out of range).
std::optional<long long> wholeNumber(std::string_view text, long long lo, long long hi);

// ASCII case folding; other bytes are kept as they are.
std::string lower(std::string_view text);
bool equalNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view text, std::string_view prefix);
bool endsWithNoCase(std::string_view text, std::string_view suffix);

// Without blanks, tabs and line ends at either end.
std::string_view trimmed(std::string_view text);

// An ASCII decimal digit, whatever the locale.
inline bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The pieces between the separators; with skipEmpty, empty pieces are left out.
std::vector<std::string> split(std::string_view text, char separator, bool skipEmpty = false);
std::string join(const std::vector<std::string>& pieces, std::string_view separator);

// The number of characters a person sees (UTF-8 code points), for columns and wrapping.
std::size_t characters(std::string_view text);

// Invalid UTF-8 sequences replaced by U+FFFD, so that a device's or the system's text can be
// written anywhere that expects UTF-8 (JSON, a log).
std::string validUtf8(std::string_view text);

} // namespace text
