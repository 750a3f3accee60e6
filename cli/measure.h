#pragma once

// What the commands that measure (read, poll) share: the request for registers 0..count-1 and
// the registers as JSON.

#include "modbus/protocol.h"

#include <QJsonArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace cli {

// "the read of register 0", as a failure names the measurement's request.
extern const QString kReadOfRegister0;

// Function 3 for registers 0..count-1 of the station, sealed with its CRC.
protocol::Frame measurementRequest(int station, int count);

QJsonArray registerArray(const std::vector<std::uint16_t>& registers);

} // namespace cli
