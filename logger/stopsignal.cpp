#include "logger/stopsignal.h"

#include <atomic>
#include <csignal>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#else
#include <algorithm>
#include <thread>
#endif

namespace logger {

namespace {

std::atomic<bool> stopRequested{false};

#ifndef _WIN32
// The handler writes a byte here, so a wait in poll() ends at once; a flag alone would be seen
// only when the wait runs out.
int wakeRead = -1;
int wakeWrite = -1;
struct sigaction previousInt {};
struct sigaction previousTerm {};

void onStop(int) {
    stopRequested = true;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeWrite, &byte, 1);
}
#else
void onStop(int) {
    stopRequested = true;
}
#endif

} // namespace

StopSignal::StopSignal() {
    stopRequested = false;
#ifndef _WIN32
    int fds[2];
    if (::pipe(fds) == 0) {
        for (const int fd : fds) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        wakeRead = fds[0];
        wakeWrite = fds[1];
    }
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
#else
    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
#endif
}

StopSignal::~StopSignal() {
#ifndef _WIN32
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    for (int* fd : {&wakeRead, &wakeWrite}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
#else
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
#endif
}

bool StopSignal::requested() const {
    return stopRequested;
}

int StopSignal::wakeDescriptor() const {
#ifndef _WIN32
    return wakeRead;
#else
    return -1;
#endif
}

bool StopSignal::wait(std::chrono::milliseconds time) const {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + time;
    while (!stopRequested) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0)
            break;
#ifndef _WIN32
        pollfd wake{wakeRead, POLLIN, 0};
        if (::poll(&wake, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
#else
        std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(50)));
#endif
    }
    return stopRequested;
}

} // namespace logger
