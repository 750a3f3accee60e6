#pragma once

// The sensor's side of the conversation as plain functions: which byte a typed text puts on the
// wire, what a parameter write encodes, and what each kind of reply shows in the window. The
// window's handlers call these and only move text between widgets and here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace protocol {

// Function codes the sensor answers.
constexpr std::uint8_t kFunctionReadRegisters = 0x03;
constexpr std::uint8_t kFunctionWriteRegister = 0x06;
constexpr std::uint8_t kFunctionReadAddress = 0x25; // answered at kAddressQueryStation
constexpr std::uint8_t kExceptionFlag = 0x80;       // set in the function of an exception reply

// The station every sensor answers the address query at, whatever its own address.
constexpr std::uint8_t kAddressQueryStation = 250;

// Register layout of the parameter rows 0-4.
constexpr int kParameterRows = 5;
constexpr std::uint8_t kParameterWriteRegisterHigh = 0x0A;
constexpr std::uint8_t kParameterFirstRegister = 3; // row i reads start + 3 + i, writes 0x0A03 + i
constexpr std::uint8_t kAddressRegisterHigh = 0x0B; // the station address lives at 0x0B00

// The 16-bit word at `at` and `at + 1`, high-order byte first as Modbus sends it.
inline std::uint16_t wordAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// A request as it goes on the wire: six bytes, then the CRC of those six, low-order byte first.
using Frame = std::array<std::uint8_t, 8>;

// Bytes 0-5 of each request the sensor understands; bytes 6-7 are left 0 for the CRC.
// A register read: station, function, start register (high byte 0), register count.
Frame readRequest(std::uint8_t station, std::uint8_t function, std::uint8_t start,
                  std::uint8_t count);
// A parameter write of row 0-4 with the register value from parameterRegisterValue().
Frame parameterWriteRequest(std::uint8_t station, int row, std::uint16_t value);
// The address query, answered by any sensor on the line.
Frame addressQueryRequest();
// The address change of the sensor at `station` to `newStation`.
Frame addressChangeRequest(std::uint8_t station, std::uint8_t newStation);

// Bytes 6 and 7: the CRC of bytes 0-5, low-order byte first.
void sealCrc(Frame& frame);
// The frame with its CRC, for a request built in one expression.
inline Frame sealed(Frame frame) {
    sealCrc(frame);
    return frame;
}

// Length of a complete answer to a read of `count` registers: station, function, byte count,
// two bytes a register, CRC.
constexpr int readReplyLength(int count) {
    return 5 + 2 * count;
}

// Frame byte from the floor value of a typed text; 0 when the text is not numeric or the value
// does not fit in a byte. `offset` is added before rounding down (the parameter read adds 3 + i
// to the start address).
std::uint8_t floorByteOrZero(std::string_view text, double offset = 0.0);

// Frame byte from the nearest value (halves to even) of a typed text; 0 when it does not fit.
std::uint8_t nearestByteOrZero(std::string_view text);

// Register value of a parameter write of row 0-4: the single-precision value, within
// -65535..65535 in double precision, times 10000 in row 0, plus 65536 when negative, rounded
// halves to even. Nothing when the text is not numeric, too large for single precision, outside
// the limits, or encodes outside 0-65535.
std::optional<std::uint16_t> parameterRegisterValue(std::string_view text, int row);

// One value field written by a measurement reply.
struct FieldText {
    int index; // txtValue(index), 0-3
    std::string text;
};

// Measurement reply: the registers counted by the byte count r[2], placed from the start
// register typed in txtStartID. A register whose two bytes were not both received is not
// decoded; a reply too short to hold a byte count decodes nothing.
std::vector<FieldText> decodeMeasurement(const std::uint8_t* reply, std::size_t length,
                                         std::string_view startText);

// Parameter reply of row 0-4: r[3] * 256 + r[4] shown as that row's format. Nothing when the
// reply does not hold bytes 3 and 4, or the row is not 0-4.
std::optional<std::string> decodeParameter(const std::uint8_t* reply, std::size_t length, int row);

// A parameter register value of row 0-4 in that row's format: row 0 divided by 10000 with four
// decimals, row 1 signed (above 32768 it counts down from 65536), rows 2-4 unsigned.
std::string parameterText(int row, std::uint16_t value);

// Address reply: byte 3, except for the echo of an address change (06 0B 00 in bytes 1-3),
// which carries the new address in byte 5. Nothing when that byte is missing: an echo cut short
// must not pass for address 0, the broadcast address.
std::optional<std::uint8_t> decodeAddress(const std::uint8_t* reply, std::size_t length);

// Checked replies, for a master that waits for a whole answer and looks at it before it
// believes it (the command line; the window shows whatever arrives).

// What answers a request: the registers of a read, the echo of a write (the request itself), or
// the one-byte answer to the address query.
enum class ReplyKind { Registers, WriteEcho, Address };

constexpr std::size_t kWriteEchoLength = 8;
constexpr std::size_t kAddressReplyLength = 6;   // station, function, byte count 1, address, CRC
constexpr std::size_t kExceptionReplyLength = 5; // station, function | 0x80, code, CRC

// Length of the complete answer to `request`, judged from the first bytes received: an exception
// reply once byte 1 holds the request's function with kExceptionFlag, otherwise the length of
// the kind (for a read, from the register count in bytes 4-5 of the request).
std::size_t expectedReplyLength(const Frame& request, ReplyKind kind, const std::uint8_t* received,
                                std::size_t length);

struct ReplyCheck {
    enum class Verdict { Ok, BadReply, Exception };
    Verdict verdict = Verdict::BadReply;
    // For a bad reply, the first check that failed, in the order they are made: "length",
    // "CRC", "station", "function", "byte count", "echo".
    std::string failed;
    std::uint8_t exceptionCode = 0; // for an exception reply
};

// Checks a reply against its request: its length (expectedReplyLength), its CRC, that it comes
// from the station asked and carries the function asked (or its exception), the byte count a
// read or the address query announces, and that a write's echo repeats the request.
ReplyCheck checkReply(const Frame& request, ReplyKind kind, const std::uint8_t* reply,
                      std::size_t length);

// The standard name of a Modbus exception code: 02 gives "illegal data address". Codes without
// one give "unknown exception".
std::string exceptionName(std::uint8_t code);

// The registers of a read reply, high byte first, as many as its byte count announces and its
// bytes hold.
std::vector<std::uint16_t> replyRegisters(const std::uint8_t* reply, std::size_t length);

} // namespace protocol
