#pragma once

// Which device and rate a command talks to: --port and --baud where given, otherwise what the
// window last saved in comm.set beside the program.

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
    int baud = 9600;
};

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
