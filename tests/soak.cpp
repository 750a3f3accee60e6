// A long poll: the window with its real serial binding polls the paced simulator every 50 ms
// for the given number of minutes and reports missed replies and memory growth. Built with the
// sanitizers by scripts/soak, so a leak is reported when the program ends.
//
//   qf7320-soak MINUTES

#include "app/frmmain.h"
#include "app/messagesink.h"
#include "serial/qtserialcomponent.h"
#include "tests/support/recordingsink.h"
#include "tests/support/simprocess.h"
#include "tests/support/testfiles.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

long residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double minutes = argc > 1 ? QString::fromLocal8Bit(argv[1]).toDouble() : 1.0;
    if (!(minutes > 0)) {
        std::fprintf(stderr, "usage: qf7320-soak MINUTES\n");
        return 2;
    }

    SimProcess sim;
    const QString dir = sim.dir.path();
    if (!writeCommSet(dir, 1, 9600))
        return 1;
    // The simulator's log goes to a file: a pipe would have to be read all along.
    sim.logToFile(sim.dir.filePath(QStringLiteral("sim.log")));
    if (!sim.start({QStringLiteral("--pace")})) {
        std::fprintf(stderr, "the simulator did not start:\n%s\n", sim.log.constData());
        return 1;
    }

    RecordingSink sink;
    sink.whileOpen = [&sink] {
        std::fprintf(stderr, "message: %s\n", qPrintable(sink.shown.last().text));
    };
    auto window = std::make_unique<frmMain>(std::make_unique<QtSerialComponent>(dir), sink, dir);
    window->show();
    window->txtTimerSet->setText(QStringLiteral("50"));
    window->cmdOneM_Click();

    const long totalMs = static_cast<long>(minutes * 60'000);
    long rssAfterWarmUp = -1;
    long rssPeak = 0;
    QTimer sampler;
    sampler.setInterval(10'000);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const long rss = residentKiB();
        if (rssAfterWarmUp < 0)
            rssAfterWarmUp = rss; // the first sample, 10 s in, once everything is allocated
        rssPeak = std::max(rssPeak, rss);
        std::printf("%s polls %s replies %s rss %ld KiB\n",
                    qPrintable(QTime::currentTime().toString(QStringLiteral("HH:mm:ss"))),
                    qPrintable(window->lblCounter->text()),
                    qPrintable(window->lblErrCounter->text()), rss);
        std::fflush(stdout);
    });
    sampler.start();
    QTimer::singleShot(totalMs, &app, [&] {
        window->cmdStopOnce_Click();
        // The last reply is on its way: give it a moment, then stop.
        QTimer::singleShot(500, &app, &QCoreApplication::quit);
    });
    QApplication::exec();

    const long polls = window->lblCounter->text().toLong();
    const long replies = window->lblErrCounter->text().toLong();
    const long rssEnd = residentKiB();
    const long growth = rssAfterWarmUp < 0 ? 0 : rssEnd - rssAfterWarmUp;
    std::printf("soak: %.1f min, %ld polls, %ld replies, %ld missed, %d messages, "
                "RSS %ld KiB after warm-up, %ld KiB at the end (growth %ld KiB), peak %ld KiB\n",
                minutes, polls, replies, polls - replies, int(sink.shown.size()), rssAfterWarmUp,
                rssEnd, growth, std::max(rssPeak, rssEnd));
    window.reset();
    return (polls == replies && sink.shown.isEmpty() && growth < 1024) ? 0 : 1;
}
