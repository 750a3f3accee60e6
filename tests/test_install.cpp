// The install folder: `cmake --install` into a temporary folder, then the programs run from
// there, with comm.set and the COMn links beside them.

#include "tests/support/mosquittoprocess.h"
#include "tests/support/ptypair.h"
#include "tests/support/simprocess.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Finished {
    int status = -1;
    QString out;
    QString err;
};

// Runs a program to its end, from a working directory that is not its own, so that what it
// finds beside itself is found through its own location.
Finished runToEnd(const QString& program, const QStringList& arguments, const QString& workDir) {
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.start(program, arguments);
    Finished finished;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return finished;
    }
    finished.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    finished.out = QString::fromUtf8(process.readAllStandardOutput());
    finished.err = QString::fromUtf8(process.readAllStandardError());
    return finished;
}

} // namespace

class TestInstall : public QObject {
    Q_OBJECT
    QTemporaryDir prefix_;
    QString bin(const QString& name) const {
        return prefix_.filePath(QStringLiteral("bin/") + name);
    }

private slots:
    void initTestCase() {
        QVERIFY(prefix_.isValid());
        const Finished install =
            runToEnd(QStringLiteral(QF_CMAKE_COMMAND),
                     {QStringLiteral("--install"), QStringLiteral(QF_BUILD_DIR),
                      QStringLiteral("--prefix"), prefix_.path()},
                     prefix_.path());
        QVERIFY2(install.status == 0, qPrintable(install.out + install.err));
    }

    void folder() {
        for (const char* program : {"qf7320-tool", "qf7320-sim"})
            QVERIFY2(QFileInfo(bin(QLatin1String(program))).isExecutable(), program);
        QVERIFY(
            QFileInfo::exists(prefix_.filePath(QStringLiteral("share/doc/qf7320-tool/README.md"))));

        // The desktop entry starts the installed window and shows the installed icon.
        QFile entry(prefix_.filePath(QStringLiteral("share/applications/qf7320-tool.desktop")));
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(entry.readAll()).split(QLatin1Char('\n'));
        QVERIFY(lines.contains(QStringLiteral("[Desktop Entry]")));
        QVERIFY(
            lines.contains(QStringLiteral("Exec=\"%1\"").arg(bin(QStringLiteral("qf7320-tool")))));
        const QStringList icon = lines.filter(QRegularExpression(QStringLiteral("^Icon=")));
        QCOMPARE(icon.size(), 1);
        QVERIFY2(QFileInfo::exists(icon.first().mid(5)), qPrintable(icon.first()));
    }

    // The window run from the folder reads comm.set beside itself and opens COM1 through the
    // link beside itself (a pseudo-terminal the test holds) at the stored rate; it shows its
    // window and stays up, sending nothing and printing nothing but the platform's notices.
    void windowFromFolder() {
        PtyPair pty;
        QVERIFY(!pty.slaveName.isEmpty());
        QVERIFY(QFile::link(pty.slaveName, bin(QStringLiteral("COM1"))));
        QVERIFY(writeCommSet(prefix_.filePath(QStringLiteral("bin")), 1, 9600));

        // The line's speed, as whoever opened it last set it: 38400 until the window sets its
        // own.
        const int line =
            ::open(QFile::encodeName(pty.slaveName).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(line >= 0);
        const auto speed = [line] {
            termios settings{};
            ::tcgetattr(line, &settings);
            return ::cfgetospeed(&settings);
        };
        termios settings{};
        ::tcgetattr(line, &settings);
        ::cfsetspeed(&settings, B38400);
        ::tcsetattr(line, TCSANOW, &settings);

        QProcess tool;
        tool.setWorkingDirectory(prefix_.path());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        tool.setProcessEnvironment(environment);
        tool.start(bin(QStringLiteral("qf7320-tool")), {});
        QVERIFY(tool.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(speed() == B9600, 30000);
        // Its window is up once the port is set; still running a second later.
        QVERIFY2(!tool.waitForFinished(1000), tool.readAllStandardError().constData());
        QCOMPARE(pty.receive(1, 200), QByteArray());
        tool.terminate();
        QVERIFY(tool.waitForFinished(10000));
        ::close(line);

        QCOMPARE(tool.readAllStandardOutput(), QByteArray());
        const QStringList notices = QString::fromUtf8(tool.readAllStandardError())
                                        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString& notice : notices)
            QVERIFY2(notice.startsWith(QLatin1String("QStandardPaths: ")) ||
                         notice.startsWith(QLatin1String("This plugin does not support")),
                     qPrintable(notice));

        QFile::remove(bin(QStringLiteral("COM1")));
        QFile::remove(bin(QStringLiteral("comm.set")));
    }

    // The command line run from the folder: COM3 linked to the simulator's pseudo-terminal shows
    // in the port listing and reads the simulated sensor.
    void commandLineFromFolder() {
        const QString cli = bin(QStringLiteral("qf7320"));
        if (!QFileInfo::exists(cli))
            QSKIP("qf7320 is not part of this build");
        SimProcess sim;
        sim.program = bin(QStringLiteral("qf7320-sim"));
        QVERIFY(sim.start());
        const QString pty = sim.device;

        const Finished linked =
            runToEnd(cli, {QStringLiteral("link"), QStringLiteral("COM3"), pty}, prefix_.path());
        QVERIFY2(linked.status == 0, qPrintable(linked.err));
        QCOMPARE(QFileInfo(bin(QStringLiteral("COM3"))).symLinkTarget(), pty);

        const Finished ports = runToEnd(cli, {QStringLiteral("ports")}, prefix_.path());
        QVERIFY2(ports.status == 0, qPrintable(ports.err));
        const QStringList lines = ports.out.split(QLatin1Char('\n'));
        for (int port = 1; port <= 16; ++port) {
            const QString name = QStringLiteral("COM%1 ").arg(port);
            QVERIFY2(!lines.filter(QRegularExpression(QLatin1Char('^') + name)).isEmpty(),
                     qPrintable(name + ports.out));
        }
        const QStringList com3 = lines.filter(QRegularExpression(QStringLiteral("^COM3 ")));
        QVERIFY2(com3.first().contains(pty), qPrintable(ports.out));

        const Finished read =
            runToEnd(cli, {QStringLiteral("-p"), QStringLiteral("COM3"), QStringLiteral("read")},
                     prefix_.path());
        QVERIFY2(read.status == 0, qPrintable(read.out + read.err));
        QFile::remove(bin(QStringLiteral("COM3")));

        // poll --mqtt loads the plugin from beside the installed qf7320 and publishes through
        // it to a broker of the test's own.
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);
        QTemporaryDir store;
        const Finished published = runToEnd(
            cli,
            {QStringLiteral("-p"), pty, QStringLiteral("poll"), QStringLiteral("--samples"),
             QStringLiteral("2"), QStringLiteral("--period"), QStringLiteral("0"),
             QStringLiteral("--mqtt"), broker.url(QStringLiteral("install")),
             QStringLiteral("--mqtt-store"), store.path()},
            prefix_.path());
        QVERIFY2(published.status == 0 && published.err.contains(QStringLiteral("2 delivered")),
                 qPrintable(published.out + published.err));
    }

    // The systemd unit names the installed qf7320 and passes systemd's own check.
    void systemdUnit() {
        const QString unit = prefix_.filePath(QStringLiteral("share/systemd/qf7320-poll@.service"));
        QFile file(unit);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY2(
            text.contains(
                QStringLiteral("ExecStart=%1 $QF7320_ARGS").arg(bin(QStringLiteral("qf7320")))),
            qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("EnvironmentFile=/etc/qf7320/%i.conf")));
        QVERIFY(text.contains(QStringLiteral("Restart=on-failure")));
        QVERIFY(!text.contains(QLatin1Char('@') + QStringLiteral("QF_")));
        if (QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty())
            QSKIP("systemd-analyze is not installed");
        const Finished verify = runToEnd(
            QStringLiteral("systemd-analyze"),
            {QStringLiteral("verify"), QDir(prefix_.filePath(QStringLiteral("share/systemd")))
                                           .filePath(QStringLiteral("qf7320-poll@sensor.service"))},
            prefix_.path());
        QVERIFY2(verify.status == 0, qPrintable(verify.out + verify.err));
    }
};

QTEST_GUILESS_MAIN(TestInstall)
#include "test_install.moc"
