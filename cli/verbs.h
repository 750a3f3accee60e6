#pragma once

// The commands of qf7320, each one function over a Context. The table in verbs.cpp gives each
// its name, help and options.

#include "cli/command.h"
#include "client/measurement.h"

namespace cli {

int readCommand(Context& context);       // measure.cpp
int pollCommand(Context& context);       // poll.cpp
int getCommand(Context& context);        // parameters.cpp
int setCommand(Context& context);        // parameters.cpp
int addressCommand(Context& context);    // address.cpp
int commissionCommand(Context& context); // commission.cpp
int scanCommand(Context& context);       // address.cpp
int portsCommand(Context& context);      // ports.cpp
int linkCommand(Context& context);       // ports.cpp
int bridgeCommand(Context& context);     // bridge.cpp
int plotCommand(Context& context);       // plot.cpp
int calibrateCommand(Context& context);  // calibrate.cpp
int applyCommand(Context& context);      // apply.cpp
int diffCommand(Context& context);       // apply.cpp

using client::luxOf;

// The same as JSON: a number, or null.
json::Value luxJson(long long lux);

} // namespace cli
