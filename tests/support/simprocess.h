#pragma once

// qf7320-sim as a child process serving a COM1 link in a test's program directory.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

#include <csignal>

class SimProcess {
public:
    QProcess process;
    QByteArray log;

    // Starts the simulator and waits until it says it is ready.
    bool start(const QString& link, const QStringList& extra = {}) {
        process.setProgram(QStringLiteral(QF_SIM_PATH));
        process.setArguments(QStringList{QStringLiteral("--link"), link} + extra);
        process.start();
        if (!process.waitForStarted(10000))
            return false;
        return waitFor("ready");
    }

    // Waits for a line of the log that contains `text`, running the event loop meanwhile so that
    // the window's port can write and read.
    bool waitFor(const char* text, int ms = 10000) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms) {
            while (process.canReadLine()) {
                const QByteArray line = process.readLine();
                log += line;
                if (line.contains(text))
                    return true;
            }
            if (process.state() != QProcess::Running)
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        return false;
    }

    void kill() {
        process.kill();
        process.waitForFinished(10000);
    }

    ~SimProcess() {
        if (process.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
            if (!process.waitForFinished(10000))
                kill();
        }
    }
};
