#pragma once

// Which device and rate a command talks to: --port and --baud where given, otherwise what the
// window last saved in comm.set beside the program (or in the user's folder when the program's
// cannot be written: serial/settingsfolder.h). --port may also name a network endpoint,
// rtu+tcp://HOST[:PORT] or tcp://HOST[:PORT], for which comm.set is not read.

#include "client/endpoint.h"
#include "client/engine.h"

#include <optional>

namespace cli {

// The Modbus master the commands are made of.
namespace transport = client;
using client::Engine;
using client::Result;
using client::Status;
using client::statusName;

using client::Line;

using client::baudListText;
using client::parseBaud;

struct LineChoice {
    std::optional<Line> line;
    std::string error; // why there is none: what is missing and how to give it
};

// portOption and baudOption are the option texts, empty when not given. A COMn port, given or
// stored, is resolved as the window resolves it (serial::comPortDevice in programDir). The rate
// comes from --baud, else from comm.set (a stored 0 meaning 9600, as in the window), else 9600.
LineChoice chooseLine(const std::string& portOption, const std::string& baudOption,
                      const std::string& programDir);

} // namespace cli
