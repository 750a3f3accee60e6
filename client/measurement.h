#pragma once

// The sensor's measurement as every reader asks for it and reads it: the window's register 0,
// shown times 10 as lx.

#include "client/engine.h"
#include "modbus/protocol.h"

namespace client {

// Function 3 for registers 0..count-1 of the station, sealed with its CRC.
protocol::Frame measurementRequest(int station, int count = 1);

// The illuminance an answered read shows: register 0 times 10; -1 when there is none.
long long luxOf(const Result& result);

// A latency in milliseconds to one decimal, as every output shows it.
double roundedMillis(double ms);

} // namespace client
