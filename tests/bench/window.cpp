// The window as a technician runs it, on a real display: a child process builds it as the tool's
// main() does, shows it, activates it and polls the paced simulator every 50 ms, then stops and
// sits idle. This process only watches, reading the child's CPU time from /proc, so nothing it
// does is counted; the display server's CPU time over the same spans is reported beside it.
// scripts/bench runs it under xvfb-run with QT_QPA_PLATFORM=xcb.

#include "tests/bench/bench.h"
#include "tests/bench/child.h"

#include "app/look.h"
#include "serial/qtserialcomponent.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

// How long the window is on screen before polling starts, and how long each measured span is
// preceded by a settling time that is not counted.
constexpr int kSettleMs = 1000;
// The period an operator types into 定时时长(ms) for the fastest polling.
constexpr int kPeriodMs = 50;

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The X server that serves $DISPLAY, found by its command line (Xvfb :99 ...); 0 if none is.
pid_t displayServer() {
    QString display = qEnvironmentVariable("DISPLAY");
    display = display.left(display.indexOf(QLatin1Char('.')));
    if (!display.startsWith(QLatin1Char(':')))
        return 0;
    const QStringList processes =
        QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString& pid : processes) {
        std::ifstream file("/proc/" + pid.toStdString() + "/cmdline");
        std::string all((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const QStringList args = QString::fromLocal8Bit(all).split(QChar(0), Qt::SkipEmptyParts);
        if (args.isEmpty())
            continue;
        const QString program = args.first().section(QLatin1Char('/'), -1);
        const bool server = program == QLatin1String("Xvfb") || program == QLatin1String("Xorg") ||
                            program == QLatin1String("X");
        if (server && args.contains(display))
            return pid_t(pid.toInt());
    }
    return 0;
}

struct Span {
    double share = 0;        // CPU share of one core, percent
    double serverShare = -1; // the display server's, when it was found
};

// The child's and the server's CPU share over `ms` of wall-clock time.
Span measure(pid_t child, pid_t server, int ms) {
    const double cpu0 = processCpuSeconds(child);
    const double server0 = server ? processCpuSeconds(server) : -1;
    const Clock::time_point wall0 = Clock::now();
    sleepMs(ms);
    const double cpu1 = processCpuSeconds(child);
    const double server1 = server ? processCpuSeconds(server) : -1;
    const double wall = millis(Clock::now() - wall0) / 1000.0;
    Span span;
    span.share = 100.0 * (cpu1 - cpu0) / wall;
    if (server0 >= 0 && server1 >= 0)
        span.serverShare = 100.0 * (server1 - server0) / wall;
    return span;
}

} // namespace

int windowLoad(int pollSeconds, int idleSeconds, int registers) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !dir.writeCommSet(9600) ||
        !sim.start(dir, 9600, simulatorArguments(Delivery::Paced)))
        return failure("the simulator did not start: " + sim.log().toStdString());

    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    Child child = spawn({self, "window-child", dir.path().toStdString(), std::to_string(registers)},
                        environmentWith({}), 1, true);
    if (child.pid < 0)
        return failure("cannot start the window");
    std::string text;
    const auto said = [&text](const char* line) { return text.find(line) != std::string::npos; };
    readUntil(child.out, text, kChildTimeoutMs,
              [&](const std::string&) { return said("polling\n") || said("port_open 0"); });
    if (!said("polling\n")) {
        finish(child, true);
        return failure("the window did not start polling: " + text);
    }
    const pid_t server = displayServer();

    sleepMs(kSettleMs);
    const Span polling = measure(child.pid, server, pollSeconds * 1000);

    // Stop as 停止 does; the child reports its counters once the last reply is in.
    text.clear();
    if (write(child.in, "stop\n", 5) != 5 ||
        !readUntil(child.out, text, kChildTimeoutMs,
                   [&](const std::string&) { return said("stopped\n"); })) {
        finish(child, true);
        return failure("the window did not stop: " + text);
    }
    const auto counters = figures(text);
    sleepMs(kSettleMs);
    const Span idle = measure(child.pid, server, idleSeconds * 1000);
    finish(child, false);

    result("poll_cpu_pct", polling.share);
    result("server_poll_cpu_pct", polling.serverShare);
    result("polls", counters.at("polls"));
    result("missed", counters.at("polls") - counters.at("events"));
    result("messages", counters.at("messages"));
    result("idle_cpu_pct", idle.share);
    result("server_idle_cpu_pct", idle.serverShare);
    return 0;
}

int windowChild(int argc, char** argv) {
    if (argc < 4)
        return failure("window-child needs the program directory and the register count");
    const QString programDir = QString::fromLocal8Bit(argv[2]);
    const QString registers = QString::fromLocal8Bit(argv[3]);

    // The tool's main(), with the program directory given rather than taken from the binary's.
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qf7320-tool"));
    MessageBoxSink messages;
    frmMain window(std::make_unique<QtSerialComponent>(programDir), messages, programDir);
    messages.setParent(&window);
    look::centreOnScreen(window);
    window.show();
    // The window the operator works in is the active one, with a blinking cursor in its focused
    // box; a display without a window manager activates nothing by itself.
    window.activateWindow();

    // Polling as an operator starts it: the register count and the period typed, then 循环.
    QTimer::singleShot(kSettleMs, &window, [&] {
        if (!window.MSComm1->portOpen()) {
            std::printf("port_open 0\n");
            std::fflush(stdout);
            QCoreApplication::exit(1);
            return;
        }
        window.txtDataLength->setText(registers);
        window.txtTimerSet->setText(QString::number(kPeriodMs));
        window.cmdOneM->click();
        std::printf("polling\n");
        std::fflush(stdout);
    });

    // A line on standard input stops the polling as 停止 does and, once the last reply is in,
    // reports the counters; the end of the input ends the program.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &window, [&] {
        char buffer[64];
        if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        window.cmdStopOnce->click();
        QTimer::singleShot(500, &window, [&] {
            // Both counters start at 1: one is bumped per tick, the other per event.
            std::printf("polls %lld\nevents %lld\nmessages %d\nstopped\n",
                        window.lblCounter->text().toLongLong() - 1,
                        window.lblErrCounter->text().toLongLong() - 1,
                        window.messageBoxOpen() ? 1 : 0);
            std::fflush(stdout);
        });
    });
    return QApplication::exec();
}

} // namespace bench
