#pragma once

// The sensors on their line with the faults the options ask for: a request in, what goes back.
// Shared by the serial line and the TCP server; no I/O and no clock of its own.

#include "sim/bus.h"
#include "sim/fault.h"
#include "sim/options.h"

namespace sim {

struct Response {
    Bytes echo;        // sent back at once, before anything else (the echo fault)
    bool send = false; // whether an answer goes back
    Bytes answer;      // the answer as the master receives it, faults applied
    int extraDelayMs = 0;
    std::string heard; // what the sensors made of the request, for the log
    std::string note;  // what kind of answer goes back, for the log
};

class Responder {
public:
    Responder(const Options& options, std::uint32_t seed);

    // seconds: time since start, which drives the drift of the illuminance.
    Response respond(std::span<const std::uint8_t> request, double seconds);

    const Bus& bus() const { return bus_; }
    // For sensors taken off the line and connected while it runs.
    Bus& bus() { return bus_; }

private:
    Bus bus_;
    FaultInjector faults_;
};

} // namespace sim
