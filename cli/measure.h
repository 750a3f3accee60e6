#pragma once

// What the commands that measure (read, poll) share: the request for registers 0..count-1 and
// the registers as JSON.

#include "client/measurement.h"
#include "modbus/protocol.h"

#include "platform/json.h"

#include <string>

#include <cstdint>
#include <vector>

namespace cli {

// "the read of register 0", as a failure names the measurement's request.
extern const std::string kReadOfRegister0;

using client::measurementRequest;

} // namespace cli
