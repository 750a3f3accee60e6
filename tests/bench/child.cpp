#include "tests/bench/child.h"

#include <QDir>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bench {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (std::string& s : strings)
        list.push_back(s.data());
    list.push_back(nullptr);
    return list;
}

} // namespace

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!extra.contains(name))
            env.push_back(entry);
    }
    for (const auto& [name, value] : extra)
        env.push_back(name + "=" + value);
    return env;
}

Child spawn(std::vector<std::string> argv, std::vector<std::string> env, int captured, bool feed) {
    Child child;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return child;
    int input[2] = {-1, -1};
    if (feed && pipe2(input, O_CLOEXEC) != 0) {
        close(fds[0]);
        close(fds[1]);
        return child;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], captured);
    posix_spawn_file_actions_addopen(&actions, captured == 1 ? 2 : 1, "/dev/null", O_WRONLY, 0);
    if (feed)
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(env);
    child.spawned = Clock::now();
    const int error = posix_spawn(&child.pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (feed)
        close(input[0]);
    if (error != 0) {
        close(fds[0]);
        if (feed)
            close(input[1]);
        child.pid = -1;
        return child;
    }
    child.out = fds[0];
    child.in = input[1];
    return child;
}

bool readUntil(int fd, std::string& text, int timeoutMs,
               const std::function<bool(const std::string&)>& done) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (!done(text)) {
        const int left = int(millis(deadline - Clock::now()));
        if (left <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return done(text);
        text.append(buffer, std::size_t(n));
    }
    return true;
}

int finish(Child& child, bool terminate) {
    if (terminate)
        ::kill(child.pid, SIGTERM);
    if (child.in >= 0)
        close(child.in);
    child.in = -1;
    std::string rest;
    readUntil(child.out, rest, kChildTimeoutMs, [](const std::string&) { return false; });
    close(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return status;
}

std::map<std::string, double> figures(const std::string& text) {
    std::map<std::string, double> out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        if (const std::size_t space = line.find(' '); space != std::string::npos)
            out[line.substr(0, space)] = std::strtod(line.c_str() + space + 1, nullptr);
        at = end + 1;
    }
    return out;
}

double processCpuSeconds(pid_t pid) {
    // Each thread's time on a CPU, in nanoseconds, is the first field of its schedstat; the
    // utime and stime of /proc/PID/stat count in whole clock ticks, too coarse for a process
    // that should use a few milliseconds a second.
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (threads.isEmpty())
        return -1;
    double nanoseconds = 0;
    for (const QString& thread : threads) {
        std::ifstream schedstat(
            (tasks + QLatin1Char('/') + thread + QStringLiteral("/schedstat")).toStdString());
        double onCpu = 0;
        if (schedstat >> onCpu)
            nanoseconds += onCpu;
    }
    return nanoseconds / 1e9;
}

} // namespace bench
