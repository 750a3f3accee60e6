// One query after another, each issued as soon as the previous value is on screen: the time from
// the frame's write to the value shown, as the operator's "query once" button would see it.

#include "tests/bench/bench.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>

#include <atomic>
#include <dlfcn.h>
#include <optional>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kWarmUp = 20;
constexpr int kReplyTimeoutMs = 1000;
constexpr int kMaxLost = 20;

// The breakdown times the frame's write() and the reply's last read() on the port's descriptor.
// This program stands in for the C library's read and write: Qt's serial port calls them
// through the dynamic linker, which finds these first and they pass every call on. Only the
// port's descriptor is noted, and only on the window's thread, where the port lives.
std::atomic<int> portFd{-1};
std::optional<Clock::time_point> frameWritten; // since the last reset
std::optional<Clock::time_point> lastRead;

template <typename Function> Function nextDefinition(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// The descriptor this process holds open on the device, or -1.
int descriptorOf(const QString& device) {
    const QString target = QFileInfo(device).canonicalFilePath();
    for (int fd = 0; fd < 1024; ++fd) {
        const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
        if (QFileInfo(path).exists() && QFileInfo(path).canonicalFilePath() == target)
            return fd;
    }
    return -1;
}

} // namespace

} // namespace bench

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    static const auto next = bench::nextDefinition<ssize_t (*)(int, const void*, size_t)>("write");
    const ssize_t written = next(fd, data, size);
    if (written > 0 && fd == bench::portFd.load(std::memory_order_relaxed) && !bench::frameWritten)
        bench::frameWritten = bench::Clock::now();
    return written;
}

extern "C" ssize_t read(int fd, void* data, size_t size) {
    static const auto next = bench::nextDefinition<ssize_t (*)(int, void*, size_t)>("read");
    const ssize_t got = next(fd, data, size);
    if (got > 0 && fd == bench::portFd.load(std::memory_order_relaxed))
        bench::lastRead = bench::Clock::now();
    return got;
}

namespace bench {

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

    if (breakdown) {
        portFd = descriptorOf(b.dir.link());
        if (portFd < 0)
            return failure("cannot find the descriptor of the port");
    }
    Clock::time_point clicked;
    std::vector<double> inClick; // comDoOnce_Click() itself
    std::vector<double> toWrite; // until the frame is written to the line
    std::vector<double> onLine;  // from that write to the reply's last byte
    std::vector<double> toShown; // from the last byte to the value shown

    const auto issue = [&] {
        frameWritten.reset();
        lastRead.reset();
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
            if (breakdown && frameWritten && lastRead) {
                inClick.push_back(millis(clicked - written));
                toWrite.push_back(millis(*frameWritten - written));
                onLine.push_back(millis(*lastRead - *frameWritten));
                toShown.push_back(millis(shown - *lastRead));
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
