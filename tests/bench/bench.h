#pragma once

// Pieces the measurements share: clocks and statistics, this process's resource use, the
// simulated sensor as a child process, and the window wired to it in a program directory of its
// own.

#include "app/frmmain.h"
#include "app/messagesink.h"
#include "tests/support/recordingsink.h"
#include "tests/support/simprocess.h"

#include <QDir>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC: comparable across processes

inline double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}
inline std::int64_t nanosSinceBoot(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// One figure for scripts/bench, as a line "name value" on standard output.
void result(const std::string& name, double value);
// A reason the measurement could not be made, on standard error.
int failure(const std::string& what);

struct Stats {
    double median = 0;
    double p99 = 0;
    double min = 0;
    double max = 0;
};
// Percentiles by nearest rank; an empty sample gives zeros.
Stats summarize(std::vector<double> samples);

// Prints the summary of timings in milliseconds: median_ms, p99_ms, min_ms, max_ms.
void resultTimings(const std::vector<double>& samples);

// CPU time (user and system) this process has used, in seconds.
double cpuSeconds();
// A "kB" field of /proc/PID/status (VmHWM, VmRSS), or -1; pid 0 is this process.
long statusKb(const char* field, pid_t pid = 0);

// Runs a program to its end with its standard output going to `output` (a file, so that no
// reader is woken for every line it writes); its wall time in milliseconds, or a negative number
// when it did not exit 0 within timeoutMs.
double timedRun(const QString& program, const QStringList& args,
                const QString& output = QProcess::nullDevice(), int timeoutMs = 60000);

// Runs the event loop for the given time.
void runEvents(int ms);

// A temporary program directory: comm.set, the simulator's COM1 link and its log.
class ProgramDir {
public:
    bool valid() const { return dir_.isValid(); }
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.filePath(name); }
    QString link() const { return file(QStringLiteral("COM1")); }
    bool writeCommSet(int baud) const; // port 1 at the given rate

private:
    QTemporaryDir dir_{QDir::tempPath() + QStringLiteral("/qf7320-bench-XXXXXX")};
};

// qf7320-sim as a child. Its log goes to a file, not a pipe: reading a pipe would wake this
// process for every frame and count toward the CPU time being measured.
class Simulator {
public:
    bool start(const ProgramDir& dir, int baud, const QStringList& extra = {});
    QString log() const;

private:
    SimProcess process_;
    QString logPath_;
};

// The window as the tool's main() builds it, with the real serial binding, on a program
// directory whose COM1 is served by the simulator.
struct Bench {
    ProgramDir dir;
    Simulator sim;
    RecordingSink sink;
    std::unique_ptr<frmMain> window;

    // Empty when ready, otherwise what went wrong.
    std::string start(int baud, const QStringList& simArgs);
};

// modbus_read_registers in a loop on the simulator behind `link`, after a warm-up: the time of
// each call, and how many calls a second back to back. `error` says why it fell short.
struct ModbusLoop {
    std::vector<double> samples;
    int failures = 0;
    double perSecond = 0;
    std::string error;
};
ModbusLoop modbusLoop(const QString& link, int baud, int registers, int cycles);

// How the simulated sensor's answer reaches the tool: a character at a time at the line's pace,
// as a plain serial port delivers it, or in one piece once the whole answer has crossed the
// line, as a USB adapter hands it over.
enum class Delivery { Paced, InOnePiece };
QStringList simulatorArguments(Delivery delivery);

// Entry points of the measurements; each returns the process's exit status.
// breakdown: also time the steps of each cycle (see pollcycle.cpp).
int pollCycle(int baud, int registers, int cycles, bool breakdown);
int modbusCycle(int baud, int registers, int cycles);
// painted false: the window polls as usual but nothing on it is repainted, which leaves the
// handlers, Qt's event loop and the line.
int load(int pollSeconds, int idleSeconds, int registers, Delivery delivery, bool painted = true);
int modbusLoad(int pollSeconds, int registers, Delivery delivery);
int floorLoad(int seconds);
int loadWithoutLine(int pollSeconds, int registers);
// A fixed number of polls at the given period, for a profiler (see load.cpp).
int profile(int polls, int registers, int periodMs);
// The window as the tool's main() builds it, on the display Qt is given, polling in a child
// process whose CPU time is read from /proc (see window.cpp).
int windowLoad(int pollSeconds, int idleSeconds, int registers);
int windowChild(int argc, char** argv);
int startup(int runs);
// What a poll's JSON samples (one object a line) show: transactions a second from the first
// request to the last, the latency of each answered one, how many failed; or why not.
struct PollSamples {
    double perSecond = 0;
    std::vector<double> latencies;
    int failures = 0;
    std::string error;
};
PollSamples pollSamples(const QString& path, int samples);

// qf7320 poll --period 0 as a child, and the whole process of qf7320 read against mbpoll's.
int cliPoll(int baud, int samples);
int cliProcess(int runs);
// qf7320 poll --period 0 at BAUD: its resident memory after SECONDS (VmRSS and VmHWM).
int cliResident(int baud, int seconds);
// The same over Modbus TCP against libmodbus's TCP master and mbpoll, and three stations on one
// line polled back to back, with and without a muted one (see netcycle.cpp).
int cliTcpPoll(int samples);
int cliTcpProcess(int runs);
int cliBus(int baud, int cycles);
// qf7320 poll --period 0 without --mqtt, with a broker and with the broker down; the store's
// disk and memory per 10,000 samples held.
int cliMqtt(int samples);
// qf7320 poll --period 0 at 115200 baud without --http, and with a Prometheus scraping it every
// second and a headless Chromium holding its page open (see clihttp.cpp); the page's transfer.
int cliHttp(int samples);
int startupChild(int argc, char** argv, Clock::time_point mainEntry);

// A program run to its end with its output discarded: its wall time, and the CPU time (user and
// system) the kernel counted for it, in milliseconds (see clicycle.cpp).
struct WholeRun {
    bool ok = false; // it ran and exited 0
    double wallMs = 0;
    double cpuMs = 0;
};
WholeRun wholeRun(const QString& program, const QStringList& args);

// qf7320 plot on a week of samples at one a second, made with the simulator's sensor model;
// and such a log for the README's picture (see plotweek.cpp).
int plotWeek(int days);
int simulatedDay(const QString& csv, int periodSeconds);

} // namespace bench
