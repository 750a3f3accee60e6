// The install folder: `cmake --install` into a temporary folder, then the programs run from
// there, with comm.set and the COMn links beside them.

#include "tests/support/cliprocess.h"
#include "tests/support/mosquittoprocess.h"
#include "tests/support/ptypair.h"
#include "tests/support/simprocess.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

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
    const ProgramRun run =
        runProgram(program, arguments, 60000, QProcessEnvironment::systemEnvironment(), workDir);
    return {run.code, QString::fromUtf8(run.out), QString::fromUtf8(run.err)};
}

// What the installed bash completion offers for the words of a command line, the last being
// the word completed.
QStringList completions(const QString& script, const QStringList& words, const QString& workDir) {
    QProcess bash;
    bash.setWorkingDirectory(workDir);
    bash.start(QStringLiteral("bash"),
               QStringList{QStringLiteral("-c"),
                           QStringLiteral("source \"$0\" && COMP_WORDS=(\"$@\") && "
                                          "COMP_CWORD=$(($# - 1)) && _qf7320 && "
                                          "printf '%s\\n' \"${COMPREPLY[@]}\""),
                           script} +
                   words);
    if (!bash.waitForFinished(10000))
        return {QStringLiteral("bash did not finish")};
    const QByteArray err = bash.readAllStandardError();
    if (!err.isEmpty())
        return {QString::fromUtf8(err)};
    return QString::fromUtf8(bash.readAllStandardOutput())
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The commands `qf7320 --help` lists, and the options a command's help lists.
QStringList helpCommands(const QString& help) {
    QStringList commands;
    const qsizetype start = help.indexOf(QLatin1String("\nCommands:\n"));
    const qsizetype end = help.indexOf(QLatin1String("\n\n"), start + 1);
    static const QRegularExpression name(QStringLiteral("^  ([a-z]+) "));
    for (const QString& line : help.mid(start, end - start).split(QLatin1Char('\n')))
        if (const QRegularExpressionMatch match = name.match(line); match.hasMatch())
            commands << match.captured(1);
    return commands;
}
QStringList helpOptions(const QString& help) {
    QStringList options;
    static const QRegularExpression option(QStringLiteral("(?:^  |, )(--?[a-z][a-z-]*)"));
    for (const QString& line : help.split(QLatin1Char('\n')))
        for (auto it = option.globalMatch(line); it.hasNext();)
            options << it.next().captured(1);
    return options;
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
        for (const char* program : {"qf7320-tool", "qf7320-sim", "qf7320", "qf7320-plot"})
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

    // Each program says its name and the version the window shows.
    void versions() {
        for (const char* program : {"qf7320", "qf7320-sim", "qf7320-plot"}) {
            const Finished run = runToEnd(bin(QLatin1String(program)),
                                          {QStringLiteral("--version")}, prefix_.path());
            QCOMPARE(run.status, 0);
            QCOMPARE(run.out, QStringLiteral("%1 %2\n").arg(QLatin1String(program),
                                                            QStringLiteral(QF7320_VERSION)));
        }
    }

    // The manual page is clean for mandoc's lint and man, and names every command and option
    // the help does.
    void manualPage() {
        const QString page = prefix_.filePath(QStringLiteral("share/man/man1/qf7320.1"));
        QVERIFY(QFileInfo::exists(page));
        const Finished lint =
            runToEnd(QStringLiteral("mandoc"), {QStringLiteral("-T"), QStringLiteral("lint"), page},
                     prefix_.path());
        QVERIFY2(lint.status == 0 && lint.out.isEmpty() && lint.err.isEmpty(),
                 qPrintable(lint.out + lint.err));

        QProcess man;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
        environment.insert(QStringLiteral("MAN_KEEP_FORMATTING"), QString());
        environment.insert(QStringLiteral("MANROFFOPT"), QStringLiteral("-ww"));
        man.setProcessEnvironment(environment);
        man.start(QStringLiteral("man"), {QStringLiteral("-l"), QStringLiteral("-Tutf8"), page});
        QVERIFY(man.waitForFinished(30000));
        QCOMPARE(man.exitCode(), 0);
        QCOMPARE(man.readAllStandardError(), QByteArray());
        // Without the overstrikes of bold and underline, as a reader sees it.
        const QString text = QString::fromUtf8(man.readAllStandardOutput())
                                 .remove(QRegularExpression(QStringLiteral(".\\x08")))
                                 .replace(QChar(0x2010), QLatin1Char('-'))
                                 .replace(QChar(0x2212), QLatin1Char('-'));

        const QString cli = bin(QStringLiteral("qf7320"));
        const QString help = runToEnd(cli, {QStringLiteral("--help")}, prefix_.path()).out;
        const QStringList commands = helpCommands(help);
        QVERIFY(commands.contains(QStringLiteral("plot")));
        for (const QString& command : commands) {
            if (command != QLatin1String("help"))
                QVERIFY2(text.contains(QStringLiteral("qf7320 ") + command), qPrintable(command));
            const QString commandHelp =
                runToEnd(cli, {QStringLiteral("help"), command}, prefix_.path()).out;
            for (const QString& option : helpOptions(commandHelp))
                QVERIFY2(text.contains(option), qPrintable(command + QLatin1Char(' ') + option));
        }
        for (const char* section : {"EXIT STATUS", "FILES", "comm.set", "COM1", "EXAMPLES",
                                    "~/.local/state/qf7320", "--mqtt-store"})
            QVERIFY2(text.contains(QLatin1String(section)), section);
    }

    void completion_data() {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QStringList>("offered"); // exactly these, in any order
        QTest::addColumn<QStringList>("among");   // at least these
        QTest::newRow("get's names")
            << QStringList{"qf7320", "get", ""}
            << QStringList{"scale", "offset", "da4", "da20", "range", "all"} << QStringList();
        QTest::newRow("set's names, after -p and its value")
            << QStringList{"qf7320", "-p", "COM1", "set", ""}
            << QStringList{"scale", "offset", "da4", "da20", "range"} << QStringList();
        QTest::newRow("set's value")
            << QStringList{"qf7320", "set", "scale", ""} << QStringList() << QStringList();
        QTest::newRow("a port") << QStringList{"qf7320", "read", "-p", ""} << QStringList()
                                << QStringList{"COM1", "COM9", "COM16"};
        QTest::newRow("a port by its prefix")
            << QStringList{"qf7320", "--port", "COM1"}
            << QStringList{"COM1", "COM10", "COM11", "COM12", "COM13", "COM14", "COM15", "COM16"}
            << QStringList();
        QTest::newRow("a rate") << QStringList{"qf7320", "poll", "-b", "96"} << QStringList{"9600"}
                                << QStringList();
        QTest::newRow("an option")
            << QStringList{"qf7320", "poll", "--cs"} << QStringList{"--csv"} << QStringList();
        QTest::newRow("plot's file")
            << QStringList{"qf7320", "plot", "da"} << QStringList{"day.csv"} << QStringList();
        QTest::newRow("plot's picture") << QStringList{"qf7320", "plot", "day.csv", "-o", "da"}
                                        << QStringList{"day.csv"} << QStringList();
        QTest::newRow("link's port") << QStringList{"qf7320", "link", "COM"} << QStringList()
                                     << QStringList{"COM1", "COM16"};
        QTest::newRow("help's command")
            << QStringList{"qf7320", "help", "s"} << QStringList{"set", "scan"} << QStringList();
    }
    void completion() {
        QFETCH(QStringList, words);
        QFETCH(QStringList, offered);
        QFETCH(QStringList, among);
        const QString script =
            prefix_.filePath(QStringLiteral("share/bash-completion/completions/qf7320"));
        QVERIFY(QFileInfo::exists(script));
        QTemporaryDir work;
        QFile day(work.filePath(QStringLiteral("day.csv")));
        QVERIFY(day.open(QIODevice::WriteOnly));
        day.close();
        QStringList got = completions(script, words, work.path());
        if (among.isEmpty()) {
            got.sort();
            offered.sort();
            QCOMPARE(got, offered);
        }
        for (const QString& word : among)
            QVERIFY2(got.contains(word), qPrintable(word + QLatin1String(": ") + got.join(' ')));
    }

    // The completion knows every command and every option the help shows.
    void completionFollowsTheHelp() {
        const QString script =
            prefix_.filePath(QStringLiteral("share/bash-completion/completions/qf7320"));
        const QString cli = bin(QStringLiteral("qf7320"));
        const QStringList commands =
            helpCommands(runToEnd(cli, {QStringLiteral("--help")}, prefix_.path()).out);
        QStringList offered =
            completions(script, {QStringLiteral("qf7320"), QString()}, prefix_.path());
        offered.sort();
        QStringList sorted = commands;
        sorted.sort();
        QCOMPARE(offered, sorted);
        for (const QString& command : commands) {
            if (command == QLatin1String("help"))
                continue;
            const QStringList options = completions(
                script, {QStringLiteral("qf7320"), command, QStringLiteral("-")}, prefix_.path());
            const QString help =
                runToEnd(cli, {QStringLiteral("help"), command}, prefix_.path()).out;
            for (const QString& option : helpOptions(help))
                QVERIFY2(options.contains(option), qPrintable(command + QLatin1Char(' ') + option));
        }
    }

    // qf7320 needs nothing beyond the C and C++ runtimes (and, in a sanitized build, the
    // sanitizers' own): no Qt, no ICU, no painting library, which are the window's and
    // qf7320-plot's alone.
    void commandLineNeedsOnlyTheRuntimes() {
        const Finished dynamic =
            runToEnd(QStringLiteral("readelf"),
                     {QStringLiteral("-d"), bin(QStringLiteral("qf7320"))}, prefix_.path());
        QCOMPARE(dynamic.status, 0);
        static const QRegularExpression needed(QStringLiteral("\\(NEEDED\\).*\\[(.*)\\]"));
        const QStringList allowed{QStringLiteral("libstdc++"), QStringLiteral("libm"),
                                  QStringLiteral("libgcc_s"),  QStringLiteral("libc"),
                                  QStringLiteral("ld-linux"),  QStringLiteral("libasan"),
                                  QStringLiteral("libubsan")};
        int libraries = 0;
        for (const QString& line : dynamic.out.split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch match = needed.match(line);
            if (!match.hasMatch())
                continue;
            ++libraries;
            const QString library = match.captured(1);
            const bool runtime =
                std::any_of(allowed.begin(), allowed.end(), [&](const QString& name) {
                    return library.startsWith(name + QLatin1Char('.')) ||
                           library.startsWith(name + QLatin1Char('-'));
                });
            QVERIFY2(runtime, qPrintable(library));
        }
        QVERIFY2(libraries > 0, qPrintable(dynamic.out));
    }

    // qf7320 plot from the folder runs the qf7320-plot beside it.
    void plotFromFolder() {
        QTemporaryDir work;
        QFile csv(work.filePath(QStringLiteral("day.csv")));
        QVERIFY(csv.open(QIODevice::WriteOnly));
        csv.write("time,station,lux,latency_ms,status\n"
                  "2026-12-10T12:00:00.000+01:00,1,12340,11.2,ok\n"
                  "2026-12-10T12:00:01.000+01:00,1,12350,11.4,ok\n"
                  "2026-12-10T12:00:02.000+01:00,1,,,timeout\n");
        csv.close();
        const Finished plot =
            runToEnd(bin(QStringLiteral("qf7320")),
                     {QStringLiteral("plot"), csv.fileName(), QStringLiteral("-o"),
                      work.filePath(QStringLiteral("day.png"))},
                     prefix_.path());
        QVERIFY2(plot.status == 0, qPrintable(plot.err));
        QCOMPARE(QImage(work.filePath(QStringLiteral("day.png"))).size(), QSize(1200, 600));
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
