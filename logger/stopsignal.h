#pragma once

// Ctrl-C (SIGINT) and SIGTERM as a request to stop, which a long run notices between two
// transactions, so that it ends with its summary and a complete last line instead of dying
// in the middle of one.

#include <chrono>

namespace logger {

class StopSignal {
public:
    StopSignal();  // catches the two signals from now on
    ~StopSignal(); // and hands them back to what handled them before
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    bool requested() const;
    // Waits for `time` to pass or a stop to be requested, whichever comes first; true when a
    // stop was requested.
    bool wait(std::chrono::milliseconds time) const;
    // Readable once a stop has been requested, for a loop that waits on more than time (-1 where
    // there is none).
    int wakeDescriptor() const;
};

} // namespace logger
