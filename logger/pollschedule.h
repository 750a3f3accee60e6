#pragma once

// Who a poll asks in a cycle, and when it tries a lost port again. Plain logic over cycle
// numbers and times handed in, so that a test plays hours of polling in no time.

#include <chrono>
#include <optional>

namespace logger {

// One station's place in the cycles of a poll. On a shared line one dead station must not cost
// the others their period: after kFailuresBeforeBackoff failed cycles in a row it is asked only
// every 2nd cycle, then every 4th, 8th and so on while it stays silent, though never less than
// once every kLongestGap; it is asked every cycle again as soon as it answers.
class StationBackoff {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFailuresBeforeBackoff = 3;
    static constexpr std::chrono::seconds kLongestGap{60};
    static constexpr long long kWidestInterval = 1LL << 20;

    // Whether the station is asked in this cycle, which starts at `now`. Cycles count from 1.
    bool due(long long cycle, Clock::time_point now) const;
    // What came of asking it in that cycle.
    void asked(long long cycle, Clock::time_point now, bool answered);

    bool backedOff() const { return interval_ > 1; }
    long long interval() const { return interval_; } // in cycles; 1 when not backed off

private:
    int failures_ = 0;       // failed cycles in a row
    long long interval_ = 1; // asked every interval_-th cycle
    long long lastCycle_ = 0;
    std::optional<Clock::time_point> lastAsked_;
};

// When a lost port is tried again: kFirst after it went, then twice as long after each failed
// attempt, at most kLongest apart.
class ReopenBackoff {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirst{500};
    static constexpr std::chrono::milliseconds kLongest{10000};

    void lost(Clock::time_point now);
    void failed(Clock::time_point now);
    Clock::time_point next() const { return next_; }
    std::chrono::milliseconds wait() const { return wait_; }

private:
    std::chrono::milliseconds wait_ = kFirst;
    Clock::time_point next_;
};

} // namespace logger
