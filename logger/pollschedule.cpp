#include "logger/pollschedule.h"

#include <algorithm>

namespace logger {

bool StationBackoff::due(long long cycle, Clock::time_point now) const {
    if (interval_ <= 1 || !lastAsked_)
        return true;
    return cycle - lastCycle_ >= interval_ || now - *lastAsked_ >= kLongestGap;
}

void StationBackoff::asked(long long cycle, Clock::time_point now, bool answered) {
    lastCycle_ = cycle;
    lastAsked_ = now;
    if (answered) {
        failures_ = 0;
        interval_ = 1;
        return;
    }
    ++failures_;
    if (failures_ == kFailuresBeforeBackoff)
        interval_ = 2;
    else if (failures_ > kFailuresBeforeBackoff)
        interval_ = std::min(interval_ * 2, kWidestInterval);
}

void ReopenBackoff::lost(Clock::time_point now) {
    wait_ = kFirst;
    next_ = now + wait_;
}

void ReopenBackoff::failed(Clock::time_point now) {
    wait_ = std::min(wait_ * 2, kLongest);
    next_ = now + wait_;
}

} // namespace logger
