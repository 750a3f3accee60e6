#pragma once

// One wait of the simulator's event loops: select() on the descriptors given, at most until the
// next timed event, and the stop signals (SIGINT, SIGTERM) taken from their signalfd.

#include <chrono>
#include <optional>
#include <sys/select.h>

namespace sim {

enum class Wake {
    Ready,   // the sets say what is readable and writable
    Again,   // interrupted: wait again
    Stopped, // a stop signal came; logged
    Failed,  // select failed; logged
};

// `signals` (the signalfd) must be in `readable`; `highest` is the highest descriptor in either
// set.
Wake waitForEvents(int highest, fd_set& readable, fd_set& writable, int signals,
                   std::optional<std::chrono::steady_clock::time_point> next);

} // namespace sim
