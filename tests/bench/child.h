#pragma once

// Measured programs started as child processes: spawning them with their output on a pipe,
// reading what they print, and the CPU time the kernel has counted for them.

#include "tests/bench/bench.h"

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

constexpr int kChildTimeoutMs = 20000;

struct Child {
    pid_t pid = -1;
    int out = -1; // the child's standard output or error, whichever was asked for
    int in = -1;  // its standard input, when asked for; /dev/null otherwise
    Clock::time_point spawned;
};

// This process's environment with the given variables set (replacing any of the same name).
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra);

// Starts a program with one of its streams (1 or 2) on a pipe and the other on /dev/null; with
// `feed`, its standard input is a pipe the caller writes to (Child::in), otherwise /dev/null.
Child spawn(std::vector<std::string> argv, std::vector<std::string> env, int captured,
            bool feed = false);

// Reads what the child writes until `done` says so, the stream ends or time runs out; false
// on the last two.
bool readUntil(int fd, std::string& text, int timeoutMs,
               const std::function<bool(const std::string&)>& done);

// Ends the child (SIGTERM first when `terminate`), drains its output and reaps it; its status.
int finish(Child& child, bool terminate);

// The "name value" lines a child printed.
std::map<std::string, double> figures(const std::string& text);

// CPU time (user and system) the kernel has counted for the live threads of a process, in
// seconds, from /proc; negative when the process is gone.
double processCpuSeconds(pid_t pid);

} // namespace bench
