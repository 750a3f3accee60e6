#pragma once

// Which device and rate a command talks to: --port and --baud where given, otherwise what the
// window last saved in comm.set beside the program. --port may also name a network endpoint,
// rtu+tcp://HOST[:PORT] or tcp://HOST[:PORT], for which comm.set is not read.

#include "cli/transport/transport.h"

#include <QString>

#include <optional>
#include <span>

namespace cli {

// The rates a sensor's line can run at, lowest first.
std::span<const int> standardBauds();

// "1200 2400 ... 115200", for messages.
QString baudListText();

// A standard rate written in decimal digits, or nothing.
std::optional<int> parseBaud(const QString& text);

struct Line {
    QString device; // what is opened: /dev/ttyUSB0, a COMn link beside the program, ...
    QString port;   // as the user knows it: the --port text, or COMn from comm.set
    // For rtu+tcp:// the far serial line's rate (it times the request on that line and the
    // silence between requests); unused on tcp://.
    int baud = 9600;
    transport::Kind kind = transport::Kind::Serial;
    QString host; // a network endpoint's host, without brackets
    std::uint16_t tcpPort = transport::kDefaultTcpPort; // and its TCP port

    bool isNetwork() const { return kind != transport::Kind::Serial; }
    // The endpoint a transport opens; the connect timeout is the engine's.
    transport::Endpoint endpoint() const;
};

// A network endpoint, "tcp://HOST[:PORT]" or "rtu+tcp://HOST[:PORT]" (an IPv6 address in
// brackets); nothing when the text does not start with either scheme. `error` says what is
// wrong when it does but is not such an endpoint.
std::optional<Line> parseNetworkEndpoint(const QString& text, QString& error);

struct LineChoice {
    std::optional<Line> line;
    QString error; // why there is none: what is missing and how to give it
};

// portOption and baudOption are the option texts, empty when not given. A COMn port, given or
// stored, is resolved as the window resolves it (serial::comPortDevice in programDir). The rate
// comes from --baud, else from comm.set (a stored 0 meaning 9600, as in the window), else 9600.
LineChoice chooseLine(const QString& portOption, const QString& baudOption,
                      const QString& programDir);

} // namespace cli
