#pragma once

// Requests as the command line's engine sends them, with their CRC.

#include "modbus/protocol.h"

using protocol::sealed;

inline protocol::Frame readFrame(int station, int start, int count) {
    return sealed(protocol::readRequest(std::uint8_t(station), protocol::kFunctionReadRegisters,
                                        std::uint8_t(start), std::uint8_t(count)));
}
