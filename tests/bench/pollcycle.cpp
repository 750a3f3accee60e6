// One query after another, each issued as soon as the previous value is on screen: the time from
// the frame's write to the value shown, as the operator's "query once" button would see it.

#include "tests/bench/bench.h"

#include <QApplication>
#include <QFileInfo>
#include <QHash>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTimer>

#include <optional>

namespace bench {

namespace {

constexpr int kWarmUp = 20;
constexpr int kReplyTimeoutMs = 1000;
constexpr int kMaxLost = 20;

// Notes when Qt hands the serial port's descriptor to QSerialPort: the write notifier (the
// frame leaves QSerialPort's buffer for the line) and the read notifier (bytes arrived). Seen
// through an application event filter, which costs every event a few nanoseconds, so it only
// runs in the breakdown.
class PortNotifiers : public QObject {
public:
    std::optional<Clock::time_point> firstWrite; // since the last reset
    std::optional<Clock::time_point> lastRead;

    void reset() {
        firstWrite.reset();
        lastRead.reset();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::SockAct)
            return false;
        const auto* notifier = qobject_cast<QSocketNotifier*>(watched);
        if (!notifier || !isTerminal(notifier->socket()))
            return false;
        const Clock::time_point now = Clock::now();
        if (notifier->type() == QSocketNotifier::Write && !firstWrite)
            firstWrite = now;
        else if (notifier->type() == QSocketNotifier::Read)
            lastRead = now;
        return false;
    }

private:
    bool isTerminal(qintptr fd) {
        auto known = terminals_.constFind(fd);
        if (known == terminals_.cend())
            known = terminals_.insert(fd, QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd))
                                              .symLinkTarget()
                                              .startsWith(QLatin1String("/dev/pts/")));
        return *known;
    }

    QHash<qintptr, bool> terminals_;
};

} // namespace

int pollCycle(int baud, int registers, int cycles, bool breakdown) {
    Bench b;
    if (const std::string error = b.start(
            baud, {QStringLiteral("--pace"), QStringLiteral("--delay"), QStringLiteral("5")});
        !error.empty())
        return failure(error);
    frmMain& w = *b.window;
    w.txtDataLength->setText(QString::number(registers));
    const qsizetype replyText = qsizetype(2 * registers + 5) * 3; // " 01 03 ..."

    std::vector<double> samples;
    samples.reserve(std::size_t(cycles));
    int done = 0;
    int lost = 0;
    int bad = 0;
    Clock::time_point written;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.setInterval(kReplyTimeoutMs);

    PortNotifiers notifiers;
    if (breakdown)
        qApp->installEventFilter(&notifiers);
    Clock::time_point clicked;
    std::vector<double> inClick; // comDoOnce_Click() itself
    std::vector<double> toWrite; // until the frame is written to the line
    std::vector<double> onLine;  // from that write to the reply's last byte
    std::vector<double> toShown; // from the last byte to the value shown

    const auto issue = [&] {
        notifiers.reset();
        written = Clock::now();
        w.comDoOnce_Click();
        clicked = Clock::now();
        watchdog.start();
    };
    // Connected after the window's own handler, so this runs once the value has been set.
    QObject::connect(w.MSComm1, &SerialComponent::onComm, &w, [&] {
        const Clock::time_point shown = Clock::now();
        watchdog.stop();
        const bool complete = w.MSComm1->commEvent() == SerialComponent::EventReceive &&
                              w.txtState->toPlainText().size() == replyText &&
                              !w.txtValue[0]->text().isEmpty();
        if (!complete)
            ++bad;
        else if (done++ >= kWarmUp) {
            samples.push_back(millis(shown - written));
            if (breakdown && notifiers.firstWrite && notifiers.lastRead) {
                inClick.push_back(millis(clicked - written));
                toWrite.push_back(millis(*notifiers.firstWrite - written));
                onLine.push_back(millis(*notifiers.lastRead - *notifiers.firstWrite));
                toShown.push_back(millis(shown - *notifiers.lastRead));
            }
        }
        if (done < kWarmUp + cycles && bad <= kMaxLost)
            // Queued, so that the next query starts once the receive handler has unwound.
            QMetaObject::invokeMethod(&w, issue, Qt::QueuedConnection);
        else
            QCoreApplication::quit();
    });
    QObject::connect(&watchdog, &QTimer::timeout, &w, [&] {
        if (++lost > kMaxLost)
            QCoreApplication::quit();
        else
            issue();
    });
    QMetaObject::invokeMethod(&w, issue, Qt::QueuedConnection);
    QCoreApplication::exec();

    if (int(samples.size()) < cycles)
        return failure("only " + std::to_string(samples.size()) + " of " + std::to_string(cycles) +
                       " cycles completed (lost " + std::to_string(lost) + ", bad " +
                       std::to_string(bad) + ")");
    resultTimings(samples);
    result("lost", lost);
    result("bad", bad);
    result("messages", double(b.sink.shown.size()));
    if (breakdown) {
        result("click_ms", summarize(inClick).median);
        result("to_write_ms", summarize(toWrite).median);
        result("on_line_ms", summarize(onLine).median);
        result("to_shown_ms", summarize(toShown).median);
        result("breakdown_samples", double(toShown.size()));
    }
    return 0;
}

} // namespace bench
