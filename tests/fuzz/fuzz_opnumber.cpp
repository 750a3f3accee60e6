// Operator numbers, reply decoding and reply checking on arbitrary input. The input is read
// twice: as the text an operator could type into any box, and as the bytes of a reply. Beyond "no
// crash, no undefined behaviour", each function is held to the promises its header makes.

#include "modbus/crc16.h"
#include "modbus/opnumber.h"
#include "modbus/protocol.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace {

std::string_view currentInput;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_opnumber: %s (input of %zu bytes)\n", what, currentInput.size());
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok)
        fail(what);
}

bool sameValue(double a, double b) {
    return a == b && std::signbit(a) == std::signbit(b);
}

bool isWhole(double v) {
    return std::isfinite(v) && std::floor(v) == v;
}

// Start texts the window meets in txtStartID, including ones that are not numbers at all.
constexpr std::array<std::string_view, 12> kStartTexts = {
    "0", "1", "2", "3", "-1", "abc", "1e400", "-1e400", "3.7", "", "1e-400", "255"};

// Ranges the window tests numbers against, and ranges of no meaning to it. All bounds are exact
// in double precision, as wholeIn's callers' bounds are.
constexpr std::array<std::pair<long long, long long>, 6> kRanges = {
    {{1, 7}, {50, 60000}, {-32768, 32767}, {0, 65535}, {0, 255}, {5, -5}}};

void checkRounding(double v) {
    check(!std::isnan(v), "a parsed value is NaN");

    const double down = opnum::floorValue(v);
    const double near = opnum::nearestValue(v);
    if (std::isfinite(v)) {
        // down + 1 is exact whenever v is not whole, as |v| < 2^52 then.
        check(isWhole(down) && down <= v && (down == v || down + 1.0 > v),
              "floorValue is not the floor");
        check(isWhole(near), "nearestValue of a finite number is not whole");
        const double diff = std::fabs(near - v);
        check(diff <= 0.5, "nearestValue is more than a half away");
        if (diff == 0.5)
            check(std::fmod(near, 2.0) == 0.0, "an exact half does not go to the even neighbour");
    } else {
        check(sameValue(down, v) && sameValue(near, v), "rounding changed an infinity");
    }

    for (const double x : {v, down, near}) {
        const auto byte = opnum::byteFit(x);
        const bool fits = x >= 0.0 && x <= 255.0;
        check(byte.has_value() == fits, "byteFit accepts outside 0-255 or refuses inside");
        if (byte && isWhole(x))
            check(static_cast<double>(*byte) == x, "byteFit changed a whole value");

        for (const auto& [lo, hi] : kRanges) {
            const auto whole = opnum::wholeIn(x, lo, hi);
            const bool inside = x >= static_cast<double>(lo) && x <= static_cast<double>(hi);
            check(whole.has_value() == inside,
                  "wholeIn accepts outside its range or refuses inside");
            if (whole)
                check(*whole >= lo && *whole <= hi && static_cast<double>(*whole) == std::trunc(x),
                      "wholeIn gives another number");
        }
    }
}

void checkFixedText(long long value, int places) {
    const std::string text = opnum::fixedText(value, places);
    const bool negative = value < 0;
    const unsigned long long magnitude = negative ? 0ull - static_cast<unsigned long long>(value)
                                                  : static_cast<unsigned long long>(value);
    std::string_view rest = text;
    if (negative) {
        check(!rest.empty() && rest.front() == '-', "fixedText lost the sign");
        rest.remove_prefix(1);
    }
    const auto point = rest.find('.');
    check(point != std::string_view::npos && point > 0, "fixedText has no integer part");
    check(rest.size() - point - 1 == static_cast<std::size_t>(places),
          "fixedText has the wrong number of places");
    std::string digits(rest.substr(0, point));
    digits += rest.substr(point + 1);
    check(digits.find_first_not_of("0123456789") == std::string::npos, "fixedText is not digits");
    const auto first = digits.find_first_not_of('0');
    const std::string significant = first == std::string::npos ? "0" : digits.substr(first);
    check(significant == std::to_string(magnitude), "fixedText shows another value");
}

void checkText(std::string_view text) {
    const auto value = opnum::parse(text);
    check(opnum::isNumeric(text) == value.has_value(), "isNumeric disagrees with parse");

    // Blanks around never change what a text means.
    const std::string padded = " \t" + std::string(text) + "\t ";
    const auto paddedValue = opnum::parse(padded);
    check(paddedValue.has_value() == value.has_value() &&
              (!value || sameValue(*paddedValue, *value)),
          "blanks around change the value");

    const auto single = opnum::toSingle(text);
    if (!value) {
        check(!single, "toSingle reads a text that parse refuses");
    } else {
        checkRounding(*value);
        if (std::isfinite(*value)) {
            // The shortest text of the value reads back as the same value.
            char buffer[64];
            const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, *value);
            check(ec == std::errc{}, "to_chars failed");
            const auto again = opnum::parse(std::string_view(buffer, end - buffer));
            check(again && sameValue(*again, *value), "a value's own text reads back otherwise");
        }
        const bool fitsSingle =
            std::fabs(*value) <= static_cast<double>(std::numeric_limits<float>::max());
        check(single.has_value() == fitsSingle, "toSingle accepts or refuses wrongly");
        if (single) {
            check(!std::isnan(*single), "toSingle gives NaN");
            check(*single == static_cast<float>(*value), "toSingle gives another value");
        }
        if (std::isfinite(*value) && std::fabs(*value) < 9e18)
            for (int places : {2, 4})
                checkFixedText(static_cast<long long>(opnum::nearestValue(*value)), places);
    }

    // Frame bytes from typed text: the floor or the nearest value when it fits, else 0.
    for (int offset = 0; offset <= protocol::kParameterFirstRegister + protocol::kParameterRows;
         ++offset) {
        const std::uint8_t byte = protocol::floorByteOrZero(text, offset);
        std::uint8_t expected = 0;
        if (value) {
            const double down = std::floor(*value + offset);
            if (down >= 0.0 && down <= 255.0)
                expected = static_cast<std::uint8_t>(down);
        }
        check(byte == expected, "floorByteOrZero gives another byte");
    }
    {
        const std::uint8_t byte = protocol::nearestByteOrZero(text);
        std::uint8_t expected = 0;
        if (value) {
            const double near = opnum::nearestValue(*value);
            if (near >= 0.0 && near <= 255.0)
                expected = static_cast<std::uint8_t>(near);
        }
        check(byte == expected, "nearestByteOrZero gives another byte");
    }

    // Parameter writes: a register value only for a number that single precision holds within
    // -65535..65535; a whole number of rows 1-4 in 0-65535 goes on the wire as it is.
    for (int row = 0; row < protocol::kParameterRows; ++row) {
        const auto reg = protocol::parameterRegisterValue(text, row);
        if (!reg)
            continue;
        check(single.has_value(), "a register value from a text toSingle refuses");
        check(std::fabs(static_cast<double>(*single)) <= 65535.0,
              "a register value from outside -65535..65535");
        if (row != 0 && *single >= 0.0f && isWhole(*single))
            check(static_cast<double>(*reg) == static_cast<double>(*single),
                  "a whole value is not written as it is");
    }
}

void checkReply(const std::uint8_t* reply, std::size_t length, std::string_view startText) {
    const auto fields = protocol::decodeMeasurement(reply, length, startText);
    if (length < 3)
        check(fields.empty(), "a reply without a byte count decodes fields");
    check(fields.size() <= 4, "more fields than the window has");
    bool seen[4] = {};
    for (const auto& field : fields) {
        check(field.index >= 0 && field.index <= 3, "a field index outside 0-3");
        check(!seen[field.index], "a field is written twice by one reply");
        seen[field.index] = true;
        const auto shown = opnum::parse(field.text);
        check(shown && *shown >= 0.0, "a field shows no unsigned number");
    }
}

// The command line believes a reply only when it is whole, sealed by its CRC, and from the
// station and with the function it asked.
void checkVerdict(const std::uint8_t* reply, std::size_t length) {
    struct Asked {
        protocol::Frame request;
        protocol::ReplyKind kind;
        std::size_t registers;
    };
    static const auto sealed = [](protocol::Frame frame) {
        protocol::sealCrc(frame);
        return frame;
    };
    static const Asked asked[] = {
        {sealed(protocol::readRequest(1, 3, 0, 1)), protocol::ReplyKind::Registers, 1},
        {sealed(protocol::readRequest(7, 3, 0, 8)), protocol::ReplyKind::Registers, 8},
        {sealed(protocol::readRequest(1, 3, 3, 5)), protocol::ReplyKind::Registers, 5},
        {sealed(protocol::parameterWriteRequest(1, 0, 12345)), protocol::ReplyKind::WriteEcho, 0},
        {sealed(protocol::addressQueryRequest()), protocol::ReplyKind::Address, 0},
    };
    for (const Asked& a : asked) {
        const std::size_t expected =
            protocol::expectedReplyLength(a.request, a.kind, reply, length);
        check(expected >= protocol::kExceptionReplyLength && expected <= 21,
              "an expected reply length no request can have");
        const protocol::ReplyCheck verdict = protocol::checkReply(a.request, a.kind, reply, length);
        if (verdict.verdict == protocol::ReplyCheck::Verdict::BadReply) {
            check(!verdict.failed.empty(), "a bad reply without the check it failed");
            continue;
        }
        check(length == expected, "a reply of the wrong length passes");
        const std::uint16_t crc = modbus::crc16(reply, length - 2);
        check(reply[length - 2] == modbus::crcLowByte(crc) &&
                  reply[length - 1] == modbus::crcHighByte(crc),
              "a reply with a wrong CRC passes");
        check(reply[0] == a.request[0], "a reply from another station passes");
        if (verdict.verdict == protocol::ReplyCheck::Verdict::Ok && a.registers > 0)
            check(protocol::replyRegisters(reply, length).size() == a.registers,
                  "a passed read reply holds another number of registers");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    currentInput = text;

    checkText(text);

    // Values and places fixedText never meets in the window, within the places a long long holds.
    if (size >= 9) {
        long long value = 0;
        std::memcpy(&value, data, sizeof value);
        checkFixedText(value, 1 + data[8] % 18);
    }

    for (const auto start : kStartTexts)
        checkReply(data, size, start);
    checkReply(data, size, text);

    for (int row = -1; row <= protocol::kParameterRows; ++row) {
        const auto shown = protocol::decodeParameter(data, size, row);
        const bool decodable = size >= 5 && row >= 0 && row < protocol::kParameterRows;
        check(shown.has_value() == decodable, "decodeParameter decodes wrongly or not at all");
        if (shown)
            check(opnum::parse(*shown).has_value(), "a parameter shows no number");
    }

    checkVerdict(data, size);

    // An address-change echo (06 0B 00 in bytes 1-3) carries the address in byte 5 and shows
    // nothing until that byte has come; any other reply of four bytes or more, byte 3.
    const auto address = protocol::decodeAddress(data, size);
    const bool echo = size >= 4 && data[1] == protocol::kFunctionWriteRegister &&
                      data[2] == protocol::kAddressRegisterHigh && data[3] == 0x00;
    const bool decodable = echo ? size >= 6 : size >= 4;
    check(address.has_value() == decodable, "decodeAddress decodes wrongly or not at all");
    if (address)
        check(*address == (echo ? data[5] : data[3]), "decodeAddress takes the wrong byte");
    return 0;
}
