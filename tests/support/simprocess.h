#pragma once

// qf7320-sim as a child process: on a pseudo-terminal reached through a link (by default COM1 in
// a temporary directory of its own) or behind a TCP port, with its log read into `log` or written
// to a file.

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>

class SimProcess {
public:
    QTemporaryDir dir;
    QString link = dir.filePath(QStringLiteral("COM1"));
    QProcess process;
    QByteArray log;
    QString device;                                // the pseudo-terminal the link points to
    QString host;                                  // with listen(): the address it listens at
    quint16 port = 0;                              // and the port, the one it picked for 0
    QString program = QStringLiteral(QF_SIM_PATH); // the simulator built beside the tests

    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        if (process.state() != QProcess::NotRunning && !stop())
            kill();
    }

    // The log goes to this file rather than to `log`: reading a pipe would wake the test for
    // every frame, which a measurement of CPU time cannot afford.
    void logToFile(const QString& path) {
        logFile_ = path;
        process.setStandardOutputFile(path);
        process.setStandardErrorFile(path, QIODevice::Append);
    }

    // Starts with the link at `linkPath` and the extra arguments; true once it says it is ready.
    bool startAt(const QString& linkPath, const QStringList& extra = {}) {
        if (!launch(QStringList{QStringLiteral("--link"), linkPath} + extra))
            return false;
        const auto match =
            QRegularExpression(QStringLiteral(" -> (\\S+) at ")).match(QString::fromUtf8(log));
        device = match.captured(1);
        return true;
    }
    bool start(const QStringList& extra = {}) { return startAt(link, extra); }

    // Starts serving TCP at `address` (by default a free port on 127.0.0.1) with the extra
    // arguments; true once it says where it listens.
    bool listen(const QStringList& extra = {},
                const QString& address = QStringLiteral("127.0.0.1:0")) {
        if (!launch(QStringList{QStringLiteral("--listen"), address} + extra))
            return false;
        // "ready on tcp 127.0.0.1:40123 (mbap) at ..." or "ready on tcp [::1]:40123 (rtu) at ..."
        const auto match =
            QRegularExpression(QStringLiteral("^ready on tcp \\[?([^ \\]]+?)\\]?:(\\d+) \\("))
                .match(QString::fromUtf8(log));
        host = match.captured(1);
        port = match.captured(2).toUShort();
        return match.hasMatch() && port != 0;
    }

    // Starts with exactly these arguments; true once it says it is ready.
    bool launch(const QStringList& args) {
        process.start(program, args);
        return process.waitForStarted(10000) && waitForLog("ready on");
    }

    // Waits until `text` has appeared `times` times in the whole log, at most `ms`. The event
    // loop runs meanwhile, so that a window's port can write and read.
    bool waitForLog(const QByteArray& text, qsizetype times = 1, int ms = 10000) {
        QDeadlineTimer deadline(ms);
        for (;;) {
            readLog();
            if (log.count(text) >= times)
                return true;
            if (deadline.hasExpired() || process.state() != QProcess::Running)
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
            if (!logFile_.isEmpty() || !process.bytesAvailable())
                process.waitForReadyRead(5);
        }
    }
    // Waits for one more occurrence of `text` than the log holds now.
    bool waitForNew(const QByteArray& text, int ms = 10000) {
        readLog();
        return waitForLog(text, log.count(text) + 1, ms);
    }

    // Started with --control -: hands the simulator these commands, one a line, in one write
    // (so that it carries them out together, between two requests), and waits until it has
    // carried out every one.
    bool control(const QByteArray& commands) {
        readLog();
        const qsizetype before = log.count("control: ");
        process.write(commands);
        return process.waitForBytesWritten(5000) &&
               waitForLog("control: ", before + commands.count('\n'));
    }

    // Sends the signal and waits for the end.
    bool stop(int signal = SIGTERM) {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        const bool finished = process.waitForFinished(10000);
        readLog();
        return finished;
    }
    void kill() {
        process.kill();
        process.waitForFinished(10000);
    }

    // User plus system time used so far, in clock ticks; -1 when it cannot be read.
    long long cpuTicks() const {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        // After the command name in parentheses: state is field 3, utime 14 and stime 15.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 12 ? fields[11].toLongLong() + fields[12].toLongLong() : -1;
    }

private:
    void readLog() {
        if (logFile_.isEmpty()) {
            log += process.readAllStandardOutput();
            return;
        }
        QFile file(logFile_);
        if (file.open(QIODevice::ReadOnly))
            log = file.readAll();
    }

    QString logFile_;
};
