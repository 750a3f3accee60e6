#include "sim/log.h"

#include "sim/sensor.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace sim {

void logLine(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    tm local{};
    localtime_r(&seconds, &local);
    std::printf("%02d:%02d:%02d.%03d %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms.count() % 1000), text.c_str());
    std::fflush(stdout);
}

void logFrame(const std::string& direction, std::span<const std::uint8_t> bytes,
              const std::string& what) {
    logLine(direction + " " + hexText(bytes) + "  " + what);
}

} // namespace sim
