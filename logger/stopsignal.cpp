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

#include <windows.h>
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
// Set when a stop is asked for, so that a wait ends at once.
HANDLE wakeEvent = nullptr;
// Set once the StopSignal is gone: the run has ended with its summary.
std::atomic<bool> ended{false};

// Ctrl-C, Ctrl-Break and closing the console window (or logging off) all ask for a stop. Windows
// ends the process as soon as the handler returns from a close, so for those it waits a little
// for the run to end with its summary.
BOOL WINAPI onConsoleEvent(DWORD event) {
    stopRequested = true;
    if (wakeEvent)
        SetEvent(wakeEvent);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        for (int waited = 0; waited < 40 && !ended; ++waited)
            Sleep(100);
    return TRUE;
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
    ended = false;
    if (!wakeEvent)
        wakeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(wakeEvent);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
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
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    ended = true;
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
        WaitForSingleObject(wakeEvent,
                            static_cast<DWORD>(std::min<long long>(left.count(), 86400000)));
#endif
    }
    return stopRequested;
}

} // namespace logger
