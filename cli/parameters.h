#pragma once

// The five calibration parameters as the commands that read and write them know them (get, set,
// calibrate, apply, diff): their names, registers, encodings and the ranges the window's hint
// gives, and a write that is read back and compared.

#include "cli/command.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cli {

// One parameter by the name the command line gives it, with the range the window's hint label
// states for it. Row 0-4: read as register 3 + row, written to 0x0A03 + row.
struct Parameter {
    const char* name;
    int row;
    double low;
    double high;
};

// scale, offset, da4, da20, range: in register order.
std::span<const Parameter> calibrationParameters();
const Parameter* findParameter(std::string_view name);
const Parameter& scaleParameter();
const Parameter& offsetParameter();

// "scale offset da4 da20 range".
std::string parameterNames();

// The register a parameter reads back from.
std::uint8_t readRegister(const Parameter& parameter);

// Function 3 for `count` registers from `first`, sealed with its CRC.
protocol::Frame parameterReadRequest(int station, std::uint8_t first, std::uint8_t count);

// The value as the window shows it: the scale with four decimals, the offset signed.
std::string valueText(const Parameter& parameter, std::uint16_t value);
// The same as JSON: the scale as a number with its decimals, the others as whole numbers.
json::Value valueJson(const Parameter& parameter, std::uint16_t value);
// A range's end as the messages write it: "0.2", "-1000".
std::string numberText(double value);

// What a failure names: "the write of scale (register 0x0A03)", "the read-back of scale
// (register 3) after its write".
std::string writeRequestText(const Parameter& parameter);
std::string readBackRequestText(const Parameter& parameter);

// A write of `value` with function 6 and, unless told otherwise, the read of its register after
// it, compared.
struct ParameterWrite {
    std::uint16_t value = 0;           // what was sent
    Result result;                     // the write's, or the read-back's once there was one
    bool acknowledged = false;         // the write's echo came back
    std::optional<std::uint16_t> held; // the value read back
    bool verified() const { return held && *held == value; }
    // What the failed transaction was, for fail(): the write or the read-back.
    std::string failedRequest;
};
ParameterWrite writeParameter(Engine& engine, int station, const Parameter& parameter,
                              std::uint16_t value, bool readBack = true);

// "verification failed: station 1 acknowledged scale 1.2345 (register value 12345) but reads
// back 1.2346 (12346)".
std::string verificationFailureText(int station, const Parameter& parameter,
                                    const ParameterWrite& write);

// The register value a number is sent as, encoded as the window encodes it; nothing when it does
// not fit in a register.
std::optional<std::uint16_t> encodeParameter(const Parameter& parameter, double value);

} // namespace cli
