// What the tool costs while it polls on its own timer, and while it only holds the port open:
// CPU time as a share of one core, replies missed, peak resident memory. And a fixed number of
// polls for a profiler:
//   valgrind --tool=callgrind --collect-atstart=no
//            --toggle-collect='bench::profiledPolling*' qf7320-bench profile 100 7 500
// counts the instructions of 100 poll cycles (tick, request, reply, repaints) and nothing else;
// a period long enough for the slowed-down program to finish each cycle keeps the work the same
// as at full speed.

#include "tests/bench/bench.h"

#include "tests/support/fakeserial.h"

#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace bench {

namespace {

// CPU share of one core, in percent, over what `run` takes.
template <typename Run> double cpuShare(Run&& run) {
    const double cpu0 = cpuSeconds();
    const Clock::time_point wall0 = Clock::now();
    run();
    const double cpu = cpuSeconds() - cpu0;
    const double wall = millis(Clock::now() - wall0) / 1000.0;
    return wall > 0 ? 100.0 * cpu / wall : 0;
}

} // namespace

int load(int pollSeconds, int idleSeconds, int registers, Delivery delivery, bool painted) {
    Bench b;
    if (const std::string error = b.start(9600, simulatorArguments(delivery)); !error.empty())
        return failure(error);
    frmMain& w = *b.window;
    w.txtDataLength->setText(QString::number(registers));

    int otherEvents = 0;                      // anything but a complete reply
    std::optional<Clock::time_point> pending; // the request not answered yet
    double slowestMs = 0;
    int unanswered = 0;
    std::optional<Clock::time_point> lastTick;
    double longestTickMs = 0;
    const Clock::time_point begin = Clock::now();
    QObject::connect(w.MSComm1, &SerialComponent::onComm, &w, [&] {
        if (w.MSComm1->commEvent() != SerialComponent::EventReceive)
            ++otherEvents;
        else if (pending)
            slowestMs = std::max(slowestMs, millis(Clock::now() - *pending));
        pending.reset();
    });
    // Connected after the window's own handler: the tick's request has been issued.
    QObject::connect(w.Timer2, &QTimer::timeout, &w, [&] {
        const Clock::time_point now = Clock::now();
        if (pending) {
            // The tick discarded whatever had arrived of the previous reply. What the simulator
            // saw tells whether the request or the reply was late.
            ++unanswered;
            const QStringList log = b.sim.log().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            std::fprintf(stderr,
                         "tick at %.3f s: the request of %.3f s has no reply; simulator:\n%s\n",
                         millis(now - begin) / 1000, millis(*pending - begin) / 1000,
                         log.mid(std::max<qsizetype>(0, log.size() - 4))
                             .join(QLatin1Char('\n'))
                             .toLocal8Bit()
                             .constData());
        }
        if (lastTick)
            longestTickMs = std::max(longestTickMs, millis(now - *lastTick));
        lastTick = now;
        pending = now;
    });

    w.txtTimerSet->setText(QStringLiteral("50"));
    w.cmdOneM->click();
    if (!painted)
        w.setUpdatesEnabled(false);
    const double polling = cpuShare([&] { runEvents(pollSeconds * 1000); });
    const long pollHwm = statusKb("VmHWM");
    const long pollAnon = statusKb("RssAnon");
    w.cmdStopOnce->click();
    runEvents(500); // the reply to the last tick

    // Both counters start at 1: one is bumped per tick, the other per event.
    const long long polls = w.lblCounter->text().toLongLong() - 1;
    const long long events = w.lblErrCounter->text().toLongLong() - 1;

    runEvents(1000);
    const double idle = cpuShare([&] { runEvents(idleSeconds * 1000); });

    result("poll_cpu_pct", polling);
    result("polls", double(polls));
    result("events", double(events));
    result("missed", double(polls - events + otherEvents));
    result("other_events", otherEvents);
    result("unanswered_ticks", unanswered);
    result("slowest_reply_ms", slowestMs);
    result("longest_tick_ms", longestTickMs);
    result("poll_hwm_kb", double(pollHwm));
    result("poll_anon_kb", double(pollAnon));
    result("idle_cpu_pct", idle);
    result("hwm_kb", double(statusKb("VmHWM")));
    result("rss_kb", double(statusKb("VmRSS")));
    result("port_open", w.MSComm1->portOpen() ? 1 : 0);
    result("messages", double(b.sink.shown.size()));
    return 0;
}

// The same polling with no serial line at all: a fake port answers each query 24 ms after it is
// written (as the paced simulator does for seven registers at 9600 baud), with a reading that
// changes at every other poll. What remains is the window's own work: the handlers, the texts
// and the repaints; on a given machine, the least that polling with these controls can cost.
int loadWithoutLine(int pollSeconds, int registers) {
    ProgramDir dir;
    if (!dir.valid() || !dir.writeCommSet(9600))
        return failure("cannot prepare a program directory");
    RecordingSink sink;
    auto fake = std::make_unique<FakeSerialComponent>();
    FakeSerialComponent* port = fake.get();
    frmMain w(std::move(fake), sink, dir.path());
    w.show();
    runEvents(50);
    if (!port->portOpen())
        return failure("the window did not open its port");
    w.txtDataLength->setText(QString::number(registers));
    int answered = 0;
    port->onOutput = [&](const QByteArray&) {
        QTimer::singleShot(24, Qt::PreciseTimer, &w, [&] {
            QByteArray reply = QByteArray::fromHex("0103") + char(2 * registers);
            for (int r = 0; r < registers; ++r) {
                const int value = r == 0 ? 1000 + ++answered / 2 : 100 * r;
                reply += char(value >> 8);
                reply += char(value & 0xFF);
            }
            port->receive(reply + QByteArray(2, '\0')); // the CRC is not checked
            // The fake records every operation; polling for minutes needs none of it.
            port->ops.clear();
            port->written.clear();
        });
    };
    w.txtTimerSet->setText(QStringLiteral("50"));
    w.cmdOneM->click();
    runEvents(1000);
    const double polling = cpuShare([&] { runEvents(pollSeconds * 1000); });
    w.cmdStopOnce->click();
    runEvents(500);
    result("poll_cpu_pct", polling);
    result("polls", double(w.lblCounter->text().toLongLong() - 1));
    result("missed",
           double(w.lblCounter->text().toLongLong() - w.lblErrCounter->text().toLongLong()));
    return 0;
}

// What any Qt window pays on this machine to poll every 50 ms, before any work of the tool's: a
// timer that does nothing; a timer that changes one small label's text, one repaint a tick;
// and, as a poll must, two wakes a tick each changing one label, the second 24 ms after the
// first (the request, then its reply). The floor under the polling figures.
int floorLoad(int seconds) {
    QWidget window;
    window.resize(200, 60);
    QLabel first(QStringLiteral("0"), &window);
    QLabel second(QStringLiteral("0"), &window);
    first.setGeometry(10, 10, 60, 20);
    second.setGeometry(100, 10, 60, 20);
    window.show();
    runEvents(500);

    enum class Work { Nothing, OneLabel, TwoWakes };
    const auto share = [&](Work work) {
        int ticks = 0;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(50);
        QObject::connect(&timer, &QTimer::timeout, &window, [&] {
            ++ticks;
            if (work == Work::Nothing)
                return;
            first.setText(QString::number(ticks));
            if (work == Work::TwoWakes)
                QTimer::singleShot(24, Qt::PreciseTimer, &window,
                                   [&, ticks] { second.setText(QString::number(ticks)); });
        });
        timer.start();
        runEvents(200);
        const double pct = cpuShare([&] { runEvents(seconds * 1000); });
        timer.stop();
        runEvents(100);
        return pct;
    };
    result("timer_cpu_pct", share(Work::Nothing));
    result("label_cpu_pct", share(Work::OneLabel));
    result("two_wakes_cpu_pct", share(Work::TwoWakes));
    return 0;
}

// Runs the event loop until the reply to the given poll has been handled. Not inlined, so
// that a profiler can be told to count inside it only.
[[gnu::noinline]] void profiledPolling(frmMain& w, int polls) {
    QEventLoop loop;
    // Both counters start at 1: the last poll has been answered once both have gone up by polls.
    const auto done = [&] {
        return w.lblCounter->text().toInt() > polls && w.lblErrCounter->text().toInt() > polls;
    };
    QObject::connect(w.MSComm1, &SerialComponent::onComm, &loop, [&] {
        if (done())
            loop.quit();
    });
    // A poll that stays unanswered must not keep the run going for ever.
    QTimer::singleShot(polls * (w.Timer2->interval() + 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

int profile(int polls, int registers, int periodMs) {
    Bench b;
    if (const std::string error = b.start(9600, simulatorArguments(Delivery::Paced));
        !error.empty())
        return failure(error);
    frmMain& w = *b.window;
    w.txtDataLength->setText(QString::number(registers));
    w.txtTimerSet->setText(QString::number(periodMs));
    // Clicked as with the mouse, which takes the focus to the button: no text cursor blinks in
    // the profile (the idle measurement of load() covers the blinking).
    w.cmdOneM->setFocus(Qt::MouseFocusReason);
    w.cmdOneM->click();
    const double cpu0 = cpuSeconds();
    profiledPolling(w, polls);
    const double cpu = cpuSeconds() - cpu0;
    w.cmdStopOnce->click();
    const long long done = w.lblCounter->text().toLongLong() - 1;
    const long long answered = w.lblErrCounter->text().toLongLong() - 1;
    result("polls", double(done));
    result("events", double(answered));
    result("cpu_ms_per_poll", done > 0 ? 1000.0 * cpu / double(done) : 0);
    return answered >= polls ? 0
                             : failure("only " + std::to_string(answered) + " of " +
                                       std::to_string(polls) + " polls were answered");
}

} // namespace bench
