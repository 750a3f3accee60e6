#pragma once

// The sensor as the line sees it: request bytes in, answer bytes out. No I/O and no clock of
// its own, so every answer can be checked byte for byte.

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

// The body followed by its CRC, low byte first.
Bytes withCrc(Bytes body);

// Whether the last two bytes are the CRC of the bytes before them.
bool crcMatches(std::span<const std::uint8_t> frame);

// "01 03 00 00": the bytes as the log shows them.
std::string hexText(std::span<const std::uint8_t> bytes);

struct Outcome {
    // What goes back on the line; empty when the sensor stays silent.
    Bytes answer;
    // Whether the request was meant for this sensor: its own station, or the address read.
    // Broadcasts and traffic for other stations are not.
    bool addressed = false;
    // What the sensor made of the request, and what kind of answer it gives, for the log.
    std::string action;
    std::string answerNote;
};

class Sensor {
public:
    static constexpr int kRegisterCount = 8;
    // The writable parameters sit at 0x0A03-0x0A07 and read back as registers 3-7.
    static constexpr std::uint16_t kParameterBase = 0x0A00;
    static constexpr int kFirstParameter = 3;
    static constexpr std::uint16_t kStationRegister = 0x0B00;

    explicit Sensor(std::uint8_t station = 1);

    // Holds the raw illuminance at lux / 10 (truncated) instead of letting it drift.
    void fixLux(std::uint32_t lux);

    // Stores every parameter written as its value plus `by` (mod 65536), while the echo still
    // repeats the write: a sensor that acknowledges a value it does not keep.
    void skewWrites(int by) { writeSkew_ = by; }

    // A parameter (row 0-4: scale x 10000, offset, DA at 4 mA, DA at 20 mA, range) as a write
    // of it would have left it: a sensor that comes with its scale factor or offset off.
    void presetParameter(int row, std::uint16_t value);

    // Every reading of the light is off by a random amount within +-percent % of it, drawn from
    // a generator seeded with `seed`, so that a run reads the same figures every time.
    void addNoise(double percent, std::uint32_t seed);

    // Firmware that adds the offset before it scales: the reading is (raw + offset) x scale
    // instead of (raw x scale) + offset.
    void addOffsetFirst() { offsetFirst_ = true; }

    std::uint8_t station() const { return station_; }

    // seconds: time since start, which drives the drift of the illuminance.
    Outcome handle(std::span<const std::uint8_t> request, double seconds);

    // The value a read of register index (0-7) returns at that time.
    std::uint16_t registerValue(int index, double seconds) const;

private:
    double rawIlluminance(double seconds) const;
    // Daylight through a window, when no fixed reading is set.
    static double driftingIlluminance(double seconds);
    // Stores a write; the exception code when it is refused.
    std::optional<std::uint8_t> write(std::uint16_t address, std::uint16_t value,
                                      std::string& action);

    std::uint8_t station_;
    std::optional<std::uint32_t> fixedRaw_;
    int writeSkew_ = 0;
    bool offsetFirst_ = false;
    double noisePercent_ = 0;
    mutable std::minstd_rand noise_;
    // Registers 3-7: scale factor x 10000, signed offset, DA at 4 mA, DA at 20 mA, range.
    std::array<std::uint16_t, 5> parameters_{10000, 0, 700, 4000, 20000};
};

} // namespace sim
