#pragma once

// Deliberate misbehaviour, so a master's error handling can be exercised on demand.

#include "sim/sensor.h"

#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace sim {

enum class FaultKind { none, silent, badCrc, shortAnswer, garbage, exception, slow, echo };

struct Fault {
    FaultKind kind = FaultKind::none;
    int slowMs = 0; // only for slow

    friend bool operator==(const Fault&, const Fault&) = default;
};

// "silent", "bad-crc", "short", "garbage", "exception", "echo" or "slow:MS"; nothing when
// unknown.
std::optional<Fault> parseFault(std::string_view text);
std::string faultName(const Fault& fault);

// What to do with one answer.
struct Delivery {
    bool send = true;
    Bytes bytes;
    int extraDelayMs = 0;
    std::string note; // "fault bad-crc" when the fault struck, otherwise empty
};

// Strikes every n-th addressed request, counting from the first. The echo strikes every n-th
// request heard instead, answered or not, as a converter echoes whatever it sends.
class FaultInjector {
public:
    FaultInjector(Fault fault, unsigned every, std::uint32_t seed);

    // Call once for every request heard on the line: what comes back at once, before any
    // answer (the request itself when the echo strikes, otherwise nothing).
    Bytes hear(std::span<const std::uint8_t> request);

    // Call once for every request addressed to the sensor, with its proper answer.
    Delivery deliver(const Bytes& answer);

private:
    Fault fault_;
    unsigned every_;
    unsigned count_ = 0;
    std::mt19937 random_;
};

} // namespace sim
