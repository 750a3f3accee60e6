#pragma once

// Deadlines as poll() and select() take them.

#include <algorithm>
#include <chrono>

namespace platform {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up: 0 once it has passed, at most a day.
inline int millisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 24LL * 3600 * 1000));
}

} // namespace platform
