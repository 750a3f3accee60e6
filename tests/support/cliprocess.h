#pragma once

// qf7320 (or another program) run once as a process by the tests: its exit status, standard
// output and standard error, and how long it took.

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ProgramRun {
    int code = -1; // -1: it crashed, or was killed after the time allowed
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;

    // One JSON object a line; nothing at all when a line is not one.
    QList<QJsonObject> objects() const {
        QList<QJsonObject> list;
        for (const QByteArray& line : out.split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonDocument document = QJsonDocument::fromJson(line);
            if (!document.isObject())
                return {};
            list << document.object();
        }
        return list;
    }
    QJsonObject object() const {
        const QList<QJsonObject> list = objects();
        return list.size() == 1 ? list.first() : QJsonObject();
    }
    QStringList lines() const {
        QStringList list = QString::fromUtf8(out).split(QLatin1Char('\n'));
        if (!list.isEmpty() && list.last().isEmpty())
            list.removeLast();
        return list;
    }
    // For a failed check: everything the program said.
    QByteArray what() const { return "exit " + QByteArray::number(code) + "\n" + out + err; }
};

// A program to its end (killed after timeoutMs), with this environment and working directory
// when they are given. One that cannot be started counts as one that crashed.
inline ProgramRun
runProgram(const QString& program, const QStringList& args, int timeoutMs = 30000,
           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
           const QString& workDir = {}) {
    QProcess process;
    process.setProcessEnvironment(environment);
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    QElapsedTimer clock;
    clock.start();
    process.start(program, args);
    ProgramRun result;
    if (!process.waitForStarted(10000))
        return result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    result.ms = clock.elapsed();
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
