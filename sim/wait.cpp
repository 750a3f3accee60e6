#include "sim/wait.h"

#include "sim/log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace sim {

Wake waitForEvents(int highest, fd_set& readable, fd_set& writable, int signals,
                   std::optional<std::chrono::steady_clock::time_point> next) {
    using Clock = std::chrono::steady_clock;
    // select rather than poll for its microsecond timeout: at 9600 baud a character lasts
    // about a millisecond.
    timeval wait{};
    timeval* timeout = nullptr;
    if (next) {
        const auto left = std::max(Clock::duration::zero(), *next - Clock::now());
        // Rounded up, so that the wait never ends just before the event.
        const auto us = std::chrono::ceil<std::chrono::microseconds>(left).count();
        wait.tv_sec = static_cast<time_t>(us / 1000000);
        wait.tv_usec = static_cast<suseconds_t>(us % 1000000);
        timeout = &wait;
    }
    if (select(highest + 1, &readable, &writable, nullptr, timeout) < 0) {
        if (errno == EINTR)
            return Wake::Again;
        logLine(std::string("stopped: select: ") + std::strerror(errno));
        return Wake::Failed;
    }
    if (FD_ISSET(signals, &readable)) {
        signalfd_siginfo info{};
        if (read(signals, &info, sizeof info) == sizeof info) {
            logLine(std::string("stopped by ") + sigabbrev_np(static_cast<int>(info.ssi_signo)));
            return Wake::Stopped;
        }
    }
    return Wake::Ready;
}

} // namespace sim
