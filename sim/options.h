#pragma once

// The command line of qf7320-sim and the line timing that follows from the baud rate.

#include "sim/fault.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Sensor;

enum class Framing { rtu, mbap };

struct Options {
    std::string link; // create a pseudo-terminal and point this symbolic link at it
    std::string port; // or serve this serial device
    // or serve TCP clients on this numeric address and port (0: any free port)
    std::optional<std::string> listenHost;
    std::uint16_t listenPort = 0;
    Framing framing = Framing::rtu;
    // With mbap framing: a unit that gives no valid answer gets no reply at all, rather than the
    // exception 0x0B (gateway target device failed to respond) that gateways send.
    bool absentSilent = false;
    int baud = 9600;
    std::vector<std::uint8_t> stations{1}; // one sensor at each, in this order
    std::vector<std::uint8_t> mute;        // stations whose sensor never answers
    std::vector<std::uint32_t> lux;        // empty: drifting; one: every sensor; else one each
    bool pace = false;
    bool burst = false; // with pace: the answer arrives in one piece once it has crossed the line
    int delayMs = 5;
    Fault fault;
    unsigned faultEvery = 1;
    bool strictBaud = false;          // answer only while the other end's line is set to `baud`
    int writeSkew = 0;                // a parameter write stores the value written plus this
    std::vector<std::uint8_t> skewed; // with writeSkew: only these stations' sensors; empty: all
    // The light model. The present scale factor (x 10000) and offset, for every sensor or one a
    // station (empty: the factory's 1.0000 and 0); each reading's light off by up to +-noise %;
    // firmware that adds the offset before it scales.
    std::vector<std::uint16_t> scale;
    std::vector<int> offset;
    double noise = 0;
    bool offsetFirst = false;
    // Where commands come from that take sensors off the line and connect new ones while it
    // runs: "-" for standard input, else a FIFO at this path (made when missing). Empty: none.
    std::string control;

    bool help = false;
    bool version = false;
};

struct ParsedArguments {
    std::optional<Options> options; // empty when the arguments are wrong
    std::string error;
};

// args: the arguments after the program name.
ParsedArguments parseArguments(std::span<const std::string> args);

// Gives the sensor at `index` (in the order of `stations`) what the options say of its light,
// scale factor, offset and writes.
void setUpSensor(Sensor& sensor, const Options& options, std::size_t index);

std::string usage(std::string_view program);

// "rtu" or "mbap".
std::string framingName(Framing framing);

// "qf7320-sim 0.1": the name and the version the window shows.
std::string versionText();

// The baud rates the line can be set to, lowest first.
std::span<const int> supportedBauds();

// One character on the wire: start bit, 8 data bits, stop bit.
std::chrono::microseconds characterTime(int baud);

// The silence that ends a request: 3.5 character times, but never under 2 ms, which a
// pseudo-terminal and the scheduler could not tell apart from a pause inside a frame.
std::chrono::microseconds frameSilence(int baud);

} // namespace sim
