#pragma once

// What a command talks to: a serial device at a rate, or a network endpoint,
// rtu+tcp://HOST[:PORT] or tcp://HOST[:PORT].

#include "client/transport.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace client {

// The rates a sensor's line can run at, lowest first.
std::span<const int> standardBauds();

// "1200 2400 ... 115200", for messages.
std::string baudListText();

// A standard rate written in decimal digits, or nothing.
std::optional<int> parseBaud(std::string_view text);

struct Line {
    std::string device; // what is opened: /dev/ttyUSB0, a COMn link beside the program, ...
    std::string port;   // as the user knows it: the --port text, or COMn from comm.set
    // For rtu+tcp:// the far serial line's rate (it times the request on that line and the
    // silence between requests); unused on tcp://.
    int baud = 9600;
    Kind kind = Kind::Serial;
    std::string host;                     // a network endpoint's host, without brackets
    std::uint16_t tcpPort = kDefaultTcpPort; // and its TCP port

    bool isNetwork() const { return kind != Kind::Serial; }
    // The endpoint a transport opens; the connect timeout is the engine's.
    Endpoint endpoint() const;
};

// A network endpoint, "tcp://HOST[:PORT]" or "rtu+tcp://HOST[:PORT]" (an IPv6 address in
// brackets); nothing when the text does not start with either scheme. `error` says what is
// wrong when it does but is not such an endpoint.
std::optional<Line> parseNetworkEndpoint(std::string_view text, std::string& error);

} // namespace client
