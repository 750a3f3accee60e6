#include "platform/text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>

namespace text {

Arg::Arg(double value) : value_(number(value, 'g', 6)) {}

std::string format(std::string_view pattern, std::initializer_list<Arg> args) {
    std::string result;
    result.reserve(pattern.size() + 16 * args.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (c == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' && pattern[i + 1] <= '9') {
            const auto index = static_cast<std::size_t>(pattern[i + 1] - '1');
            if (index < args.size()) {
                result += (args.begin() + index)->str();
                ++i;
                continue;
            }
        }
        result += c;
    }
    return result;
}

std::string number(double value, char form, int precision) {
    const char pattern[] = {'%', '.', '*', form == 'f' ? 'f' : form == 'e' ? 'e' : 'g', '\0'};
    std::array<char, 512> buffer{};
    const int length = std::snprintf(buffer.data(), buffer.size(), pattern, precision, value);
    if (length < 0)
        return {};
    return std::string(buffer.data(),
                       std::min(static_cast<std::size_t>(length), buffer.size() - 1));
}

std::string shortest(double value) {
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return std::string(buffer.data(), result.ptr);
}

std::optional<long long> wholeNumber(std::string_view text, long long lo, long long hi) {
    std::size_t start = 0;
    if (!text.empty() && text[0] == '-')
        start = 1;
    if (text.size() == start || text.size() - start > 18)
        return std::nullopt;
    if (!std::all_of(text.begin() + static_cast<std::ptrdiff_t>(start), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    long long value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size())
        return std::nullopt;
    if (value < lo || value > hi)
        return std::nullopt;
    return value;
}

std::string lower(std::string_view text) {
    std::string result(text);
    for (char& c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && lower(a) == lower(b);
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalNoCase(text.substr(0, prefix.size()), prefix);
}

bool endsWithNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           equalNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::string_view trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string> split(std::string_view text, char separator, bool skipEmpty) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        const std::string_view piece = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (!skipEmpty || !piece.empty())
            pieces.emplace_back(piece);
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    return pieces;
}

std::string join(const std::vector<std::string>& pieces, std::string_view separator) {
    std::string result;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            result += separator;
        result += pieces[i];
    }
    return result;
}

std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string validUtf8(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t lowest = 0;
        if (byte < 0x80) {
            result += static_cast<char>(byte);
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            lowest = 0x80;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            lowest = 0x800;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            lowest = 0x10000;
        }
        bool valid = length > 0 && i + length <= text.size();
        std::uint32_t point = valid ? byte & (0x7F >> length) : 0;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and points beyond U+10FFFF are not UTF-8 either.
        valid =
            valid && point >= lowest && point <= 0x10FFFF && !(point >= 0xD800 && point <= 0xDFFF);
        if (valid) {
            result.append(text.substr(i, length));
            i += length;
        } else {
            result += kReplacement;
            ++i;
        }
    }
    return result;
}

} // namespace text
