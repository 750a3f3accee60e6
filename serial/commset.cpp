#include "serial/commset.h"

#include "modbus/opnumber.h"

namespace commset {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
bool endsField(char c) {
    return c == ',' || isBlank(c) || c == '\r' || c == '\n';
}

// Reads one field at `pos`, moving past it and past the delimiter that ends it.
std::optional<std::int16_t> readField(std::string_view content, std::size_t& pos) {
    while (pos < content.size() && isBlank(content[pos]))
        ++pos;
    const std::size_t begin = pos;
    while (pos < content.size() && !endsField(content[pos]))
        ++pos;
    const auto value = opnum::parse(content.substr(begin, pos - begin));
    if (!value)
        return std::nullopt;
    const auto whole = opnum::wholeIn(opnum::nearestValue(*value), -32768, 32767);
    if (!whole)
        return std::nullopt;
    // Past the delimiter: blanks, then at most one comma or one line end.
    while (pos < content.size() && isBlank(content[pos]))
        ++pos;
    if (pos < content.size() && content[pos] == ',') {
        ++pos;
    } else {
        if (pos < content.size() && content[pos] == '\r')
            ++pos;
        if (pos < content.size() && content[pos] == '\n')
            ++pos;
    }
    return static_cast<std::int16_t>(*whole);
}

} // namespace

std::optional<Stored> parse(std::string_view content) {
    std::size_t pos = 0;
    const auto port = readField(content, pos);
    if (!port)
        return std::nullopt;
    const auto rate = readField(content, pos);
    if (!rate)
        return std::nullopt;
    return Stored{*port, *rate};
}

std::string format(std::int16_t port, std::int16_t rate) {
    return std::to_string(port) + "," + std::to_string(rate) + "\r\n";
}

} // namespace commset
