#pragma once

// Several sensors on one RS-485 line, as the line sees them: a request in, what comes back out.
// Every sensor hears every request; a request that more than one of them answers (the address
// query at station 250, or two sensors sharing an address) makes them talk at once, and what
// reaches the master is their answers mixed together, which fails its CRC. No I/O and no clock,
// like the sensor itself.

#include "sim/sensor.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

struct BusOutcome : Outcome {
    // How many sensors answered: more than one is a collision, and `answer` is the garble.
    int answering = 0;
};

class Bus {
public:
    // One sensor at each of `stations`, in that order; a station in `mute` is a sensor that never
    // answers (and hears nothing: a dead device looks the same from the line).
    explicit Bus(std::span<const std::uint8_t> stations, std::span<const std::uint8_t> mute = {});

    // Holds every sensor's reading at `lux` (one value for all, or one a sensor).
    void fixLux(std::span<const std::uint32_t> lux);
    void skewWrites(int by);

    // A new sensor put on the line at `station`, as it leaves the factory: its parameters at
    // their defaults, keeping what is written to it, its reading the one every sensor was given
    // (else drifting).
    void connect(std::uint8_t station);
    // Takes every sensor at `station` off the line (every sensor, without one); how many went.
    std::size_t remove(std::optional<std::uint8_t> station);

    BusOutcome handle(std::span<const std::uint8_t> request, double seconds);

    std::size_t size() const { return sensors_.size(); }
    const Sensor& sensor(std::size_t i) const { return sensors_[i]; }
    Sensor& sensor(std::size_t i) { return sensors_[i]; }

private:
    std::vector<Sensor> sensors_;
    std::vector<bool> muted_;
    std::optional<std::uint32_t> luxForAll_; // what a sensor connected later reads
};

// What the line carries when several answers start together: each byte the OR of the bytes sent
// at that moment, as long as the longest answer. Should the mix happen to pass its CRC, the CRC is
// inverted, so that a collision never reads as a valid answer.
Bytes collide(std::span<const Bytes> answers);

} // namespace sim
