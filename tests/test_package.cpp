// The Debian packages scripts/package makes. qf7320 for arm64 runs under qemu-aarch64 against the
// simulator. As root, the amd64 packages are installed into this machine with dpkg: the command
// line with its manual page, the MQTT plugin from /usr/lib/qf7320, the systemd unit checked and
// rated by systemd-analyze, the window on the simulator's port, a poll run as the unit runs it;
// then purged, leaving nothing of theirs.

#include "tests/support/cliprocess.h"
#include "tests/support/mosquittoprocess.h"
#include "tests/support/simprocess.h"
#include "tests/support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct Finished {
    int status = -1;
    QString out;
    QString err;
    QString what() const { return QStringLiteral("exit %1\n%2%3").arg(status).arg(out, err); }
};

Finished runToEnd(const QString& program, const QStringList& arguments,
                  const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                  int ms = 120000) {
    const ProgramRun run = runProgram(program, arguments, ms, environment);
    return {run.code, QString::fromUtf8(run.out), QString::fromUtf8(run.err)};
}

QString packageDir() {
    const QString dir = qEnvironmentVariable("QF_PACKAGE_DIR");
    return dir.isEmpty() ? QStringLiteral(QF_PACKAGE_DIR) : dir;
}
QString package(const QString& name, const QString& architecture) {
    return QDir(packageDir())
        .filePath(
            QStringLiteral("%1_%2_%3.deb").arg(name, QStringLiteral(QF7320_VERSION), architecture));
}

bool installed(const QString& name) {
    return runToEnd(QStringLiteral("dpkg-query"),
                    {QStringLiteral("-W"), QStringLiteral("-f=${Status}"), name})
        .out.contains(QLatin1String("install ok installed"));
}

// The lines of a file; empty when it cannot be read.
QStringList fileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The rows of a poll's CSV file below its header, those of station 1 that read the sensor.
int goodRows(const QString& csv) {
    const QStringList lines = fileLines(csv);
    if (lines.isEmpty() || lines.first() != QLatin1String("time,station,lux,latency_ms,status"))
        return 0;
    return static_cast<int>(
        lines.filter(QRegularExpression(QStringLiteral(",1,\\d+,.*,ok$"))).size());
}

// The speed a terminal is set to, as whoever opened it last set it.
speed_t lineSpeed(int fd) {
    termios settings{};
    ::tcgetattr(fd, &settings);
    return ::cfgetospeed(&settings);
}

// A service's settings as its unit file has them: each key with its values in order.
QMultiMap<QString, QString> unitSettings(const QString& path) {
    QMultiMap<QString, QString> settings;
    for (const QString& line : fileLines(path)) {
        if (line.startsWith(QLatin1Char('#')) || !line.contains(QLatin1Char('=')))
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        settings.insert(line.left(equals), line.mid(equals + 1));
    }
    return settings;
}

const QString kUnit = QStringLiteral("/usr/lib/systemd/system/qf7320-poll@.service");

} // namespace

class TestPackage : public QObject {
    Q_OBJECT
    bool installed_ = false;
    bool purged_ = false;
    QStringList files_; // what dpkg installed, for the check after the purge

    bool purge() {
        purged_ = true;
        return runToEnd(QStringLiteral("dpkg"),
                        {QStringLiteral("--purge"), QStringLiteral("qf7320-tool"),
                         QStringLiteral("qf7320")})
                   .status == 0;
    }

private slots:
    // qf7320 from the arm64 package, under qemu-aarch64, reads the simulator on a
    // pseudo-terminal, gets its parameters and polls it into a CSV file; its MQTT plugin, with
    // the arm64 Paho, publishes to a broker.
    void arm64UnderQemu() {
        const QString deb = package(QStringLiteral("qf7320"), QStringLiteral("arm64"));
        if (!QFileInfo::exists(deb))
            QSKIP(qPrintable(QStringLiteral("%1 is not built: scripts/package makes it").arg(deb)));
        const QString qemu = QStandardPaths::findExecutable(QStringLiteral("qemu-aarch64"));
        if (qemu.isEmpty())
            QSKIP("qemu-aarch64 is not installed (qemu-user)");
        QTemporaryDir root;
        const Finished unpacked =
            runToEnd(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), deb, root.path()});
        QVERIFY2(unpacked.status == 0, qPrintable(unpacked.what()));
        const QString cli = root.filePath(QStringLiteral("usr/bin/qf7320"));

        // An ELF program for AArch64 (machine 183), not this machine's.
        QFile elf(cli);
        QVERIFY(elf.open(QIODevice::ReadOnly));
        const QByteArray header = elf.read(20);
        QCOMPARE(header.left(4), QByteArray("\x7f"
                                            "ELF"));
        QCOMPARE(static_cast<unsigned char>(header[18]) | static_cast<unsigned char>(header[19])
                                                              << 8,
                 183);

        SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--lux"), QStringLiteral("12340")}), sim.log);
        const QStringList port{QStringLiteral("-p"), sim.device};
        const auto run = [&](const QStringList& arguments) {
            return runToEnd(qemu, QStringList{cli} + port + arguments);
        };
        const Finished read = run({QStringLiteral("read")});
        QVERIFY2(read.status == 0, qPrintable(read.what()));
        QCOMPARE(read.out, QStringLiteral("12340 lx\n"));
        const Finished get = run({QStringLiteral("get")});
        QVERIFY2(get.status == 0, qPrintable(get.what()));
        QStringList names;
        for (const QString& line : get.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            names << line.section(QLatin1Char(' '), 0, 0);
        QCOMPARE(names, (QStringList{QStringLiteral("scale"), QStringLiteral("offset"),
                                     QStringLiteral("da4"), QStringLiteral("da20"),
                                     QStringLiteral("range")}));

        QTemporaryDir work;
        const QString csv = work.filePath(QStringLiteral("day.csv"));
        const Finished poll =
            run({QStringLiteral("poll"), QStringLiteral("--samples"), QStringLiteral("3"),
                 QStringLiteral("--period"), QStringLiteral("0"), QStringLiteral("--csv"), csv});
        QVERIFY2(poll.status == 0, qPrintable(poll.what()));
        QCOMPARE(goodRows(csv), 3);
        QVERIFY2(fileLines(csv).filter(QStringLiteral(",12340,")).size() == 3,
                 qPrintable(fileLines(csv).join(QLatin1Char('\n'))));

        // The plugin is found in usr/lib/qf7320 beside usr/bin, as in /usr.
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);
        const Finished published =
            run({QStringLiteral("poll"), QStringLiteral("--samples"), QStringLiteral("2"),
                 QStringLiteral("--period"), QStringLiteral("0"), QStringLiteral("--mqtt"),
                 broker.url(QStringLiteral("arm64")), QStringLiteral("--mqtt-store"),
                 work.filePath(QStringLiteral("store"))});
        QVERIFY2(published.status == 0 && published.err.contains(QLatin1String("2 delivered")),
                 qPrintable(published.what()));
    }

    void install() {
        const QStringList debs{package(QStringLiteral("qf7320"), QStringLiteral("amd64")),
                               package(QStringLiteral("qf7320-tool"), QStringLiteral("amd64"))};
        if (::geteuid() != 0)
            QSKIP("installing the packages needs root");
        for (const QString& deb : debs)
            if (!QFileInfo::exists(deb))
                QSKIP(qPrintable(
                    QStringLiteral("%1 is not built: scripts/package makes it").arg(deb)));
        if (installed(QStringLiteral("qf7320")) || installed(QStringLiteral("qf7320-tool")))
            QSKIP("qf7320 is installed on this machine: the test installs and purges its own");

        installed_ = true;
        const Finished install = runToEnd(QStringLiteral("dpkg"), QStringList{"-i"} + debs);
        QVERIFY2(install.status == 0, qPrintable(install.what()));
        const Finished listed =
            runToEnd(QStringLiteral("dpkg"), {QStringLiteral("-L"), QStringLiteral("qf7320"),
                                              QStringLiteral("qf7320-tool")});
        QCOMPARE(listed.status, 0);
        files_ = listed.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const char* file :
             {"/usr/bin/qf7320", "/usr/lib/qf7320/qf7320-mqtt.so",
              "/usr/share/man/man1/qf7320.1.gz", "/usr/share/bash-completion/completions/qf7320",
              "/usr/lib/systemd/system/qf7320-poll@.service", "/usr/lib/sysusers.d/qf7320.conf",
              "/usr/bin/qf7320-tool", "/usr/bin/qf7320-sim", "/usr/bin/qf7320-plot",
              "/usr/share/applications/qf7320-tool.desktop",
              "/usr/share/icons/hicolor/32x32/apps/qf7320-tool.png"})
            QVERIFY2(files_.contains(QLatin1String(file)), file);

        // The service's user, made when the package was configured, may open serial devices.
        const Finished groups =
            runToEnd(QStringLiteral("id"), {QStringLiteral("-nG"), QStringLiteral("qf7320")});
        QVERIFY2(groups.status == 0, qPrintable(groups.what()));
        QVERIFY2(
            groups.out.simplified().split(QLatin1Char(' ')).contains(QStringLiteral("dialout")),
            qPrintable(groups.out));
    }

    // The installed qf7320 says its version, has its manual page, and loads its MQTT plugin from
    // /usr/lib/qf7320. It loads the C library alone: the C++ runtime and the one part of the maths
    // library it uses are linked in, so that a one-shot command maps nothing more at its start.
    void commandLine() {
        if (!installed_)
            QSKIP("the packages are not installed (see install)");
        const Finished version = runToEnd(QStringLiteral("qf7320"), {QStringLiteral("--version")});
        QCOMPARE(version.status, 0);
        QCOMPARE(version.out, QStringLiteral("qf7320 %1\n").arg(QStringLiteral(QF7320_VERSION)));
        const Finished dynamic = runToEnd(
            QStringLiteral("readelf"), {QStringLiteral("-d"), QStringLiteral("/usr/bin/qf7320")});
        QCOMPARE(dynamic.status, 0);
        static const QRegularExpression needed(QStringLiteral("\\(NEEDED\\).*\\[(.*)\\]"));
        QStringList libraries;
        for (auto match = needed.globalMatch(dynamic.out); match.hasNext();)
            libraries << match.next().captured(1);
        QCOMPARE(libraries, (QStringList{QStringLiteral("libc.so.6"),
                                         QStringLiteral("ld-linux-x86-64.so.2")}));

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("MANPAGER"), QStringLiteral("cat"));
        environment.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
        const Finished man =
            runToEnd(QStringLiteral("man"), {QStringLiteral("qf7320")}, environment);
        QVERIFY2(man.status == 0, qPrintable(man.what()));
        QVERIFY2(man.out.contains(QLatin1String("EXIT STATUS")), qPrintable(man.out.left(2000)));

        SimProcess sim;
        sim.program = QStringLiteral("/usr/bin/qf7320-sim");
        QVERIFY2(sim.start(), sim.log);
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);
        QTemporaryDir store;
        const Finished published = runToEnd(
            QStringLiteral("/usr/bin/qf7320"),
            {QStringLiteral("-p"), sim.device, QStringLiteral("poll"), QStringLiteral("--samples"),
             QStringLiteral("2"), QStringLiteral("--period"), QStringLiteral("0"),
             QStringLiteral("--mqtt"), broker.url(QStringLiteral("package")),
             QStringLiteral("--mqtt-store"), store.path()});
        QVERIFY2(published.status == 0 && published.err.contains(QLatin1String("2 delivered")),
                 qPrintable(published.what()));
    }

    // The installed unit names /usr/bin/qf7320, passes systemd's check and is rated at most 2.0
    // for its exposure.
    void unit() {
        if (!installed_)
            QSKIP("the packages are not installed (see install)");
        const QMultiMap<QString, QString> unit = unitSettings(kUnit);
        QCOMPARE(unit.value(QStringLiteral("ExecStart")),
                 QStringLiteral("/usr/bin/qf7320 $QF7320_ARGS"));
        const QString instance =
            QStringLiteral("/usr/lib/systemd/system/qf7320-poll@sensor.service");
        const Finished verify =
            runToEnd(QStringLiteral("systemd-analyze"), {QStringLiteral("verify"), instance});
        QVERIFY2(verify.status == 0 && verify.err.isEmpty(), qPrintable(verify.what()));
        const Finished security =
            runToEnd(QStringLiteral("systemd-analyze"),
                     {QStringLiteral("security"), QStringLiteral("--offline=true"), instance});
        QVERIFY2(security.status == 0, qPrintable(security.what()));
        const QRegularExpressionMatch level =
            QRegularExpression(QStringLiteral("Overall exposure level for \\S+: (\\d+\\.\\d+) "))
                .match(security.out);
        QVERIFY2(level.hasMatch(), qPrintable(security.out));
        QVERIFY2(level.captured(1).toDouble() <= 2.0, qPrintable(security.out));
    }

    // The installed window reads comm.set and COM1 beside itself and opens the simulator's
    // pseudo-terminal at the stored rate.
    void window() {
        if (!installed_)
            QSKIP("the packages are not installed (see install)");
        SimProcess sim;
        sim.program = QStringLiteral("/usr/bin/qf7320-sim");
        QVERIFY2(sim.start(), sim.log);
        const QString link = QStringLiteral("/usr/bin/COM1");
        const QString commSet = QStringLiteral("/usr/bin/comm.set");
        QVERIFY(QFile::link(sim.device, link));
        const auto removeSettings = qScopeGuard([&] {
            QFile::remove(link);
            QFile::remove(commSet);
        });
        QVERIFY(writeCommSet(QStringLiteral("/usr/bin"), 1, 9600));

        const int line =
            ::open(QFile::encodeName(sim.device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(line >= 0);
        const auto closeLine = qScopeGuard([line] { ::close(line); });
        termios settings{};
        ::tcgetattr(line, &settings);
        ::cfsetspeed(&settings, B38400);
        ::tcsetattr(line, TCSANOW, &settings);

        QProcess tool;
        tool.setWorkingDirectory(QDir::tempPath());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        tool.setProcessEnvironment(environment);
        tool.start(QStringLiteral("/usr/bin/qf7320-tool"), {});
        QVERIFY(tool.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(lineSpeed(line) == B9600, 30000);
        QVERIFY2(!tool.waitForFinished(1000), tool.readAllStandardError().constData());
        tool.terminate();
        QVERIFY(tool.waitForFinished(10000));
    }

    // The unit's poll, run as systemd would run qf7320-poll@packagetest: its ExecStart with the
    // arguments from /etc/qf7320/packagetest.conf and the unit's environment, as the unit's
    // user with its groups and umask, in the state and logs folders systemd makes for it. It
    // opens the simulator's pseudo-terminal (root:dialout, as a USB adapter is), writes its CSV
    // file in /var/log/qf7320, publishes through its store in /var/lib/qf7320/packagetest, opens
    // a new CSV file on SIGHUP (systemctl reload) and ends on SIGTERM (systemctl stop). The
    // sandbox itself (namespaces, system call filter, device list) needs systemd as PID 1 and is
    // rated above, not run here.
    void servicePoll() {
        if (!installed_)
            QSKIP("the packages are not installed (see install)");
        const QMultiMap<QString, QString> unit = unitSettings(kUnit);
        const QString instance = QStringLiteral("packagetest");
        const auto expand = [&](QString text) {
            return text.replace(QLatin1String("%i"), instance)
                .replace(QLatin1String("%S"), QLatin1String("/var/lib"));
        };
        const passwd* user = ::getpwnam(unit.value(QStringLiteral("User")).toUtf8().constData());
        QVERIFY2(user, "the unit's user does not exist");
        const uid_t uid = user->pw_uid;
        const gid_t gid = user->pw_gid;
        const QString name = QString::fromUtf8(user->pw_name);
        const QString home = QString::fromUtf8(user->pw_dir);
        const group* dialout =
            ::getgrnam(unit.value(QStringLiteral("SupplementaryGroups")).toUtf8().constData());
        QVERIFY(dialout);
        const gid_t supplementary = dialout->gr_gid;

        // What systemd makes before it starts the service.
        const QString state =
            QStringLiteral("/var/lib/") + expand(unit.value(QStringLiteral("StateDirectory")));
        const QString logs =
            QStringLiteral("/var/log/") + expand(unit.value(QStringLiteral("LogsDirectory")));
        for (const QString& dir : {state, logs}) {
            QVERIFY(QDir().mkpath(dir));
            QVERIFY(::chown(QFile::encodeName(dir).constData(), uid, gid) == 0);
        }

        SimProcess sim;
        sim.program = QStringLiteral("/usr/bin/qf7320-sim");
        QVERIFY2(sim.start({QStringLiteral("--lux"), QStringLiteral("12340")}), sim.log);
        QVERIFY(::chown(QFile::encodeName(sim.device).constData(), 0, supplementary) == 0);
        QVERIFY(::chmod(QFile::encodeName(sim.device).constData(), 0660) == 0);
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);

        const QString csv = logs + QStringLiteral("/packagetest.csv");
        const QString conf =
            expand(unit.value(QStringLiteral("EnvironmentFile")).remove(QRegularExpression("^-")));
        const bool confDirExisted = QFileInfo::exists(QFileInfo(conf).path());
        QVERIFY(QDir().mkpath(QFileInfo(conf).path()));
        const auto removeConf = qScopeGuard([&] {
            QFile::remove(conf);
            if (!confDirExisted)
                QDir().rmdir(QFileInfo(conf).path());
        });
        {
            QFile file(conf);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(
                QStringLiteral("QF7320_ARGS=-p %1 -s 1 poll --period 100 --csv %2 --mqtt %3\n")
                    .arg(sim.device, csv, broker.url(QStringLiteral("packagetest")))
                    .toUtf8());
        }

        // The environment: the unit's, then its file's; ExecStart's $NAME split at blanks.
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"),
                           QStringLiteral("/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin"));
        environment.insert(QStringLiteral("HOME"), home);
        environment.insert(QStringLiteral("USER"), name);
        environment.insert(QStringLiteral("LOGNAME"), name);
        for (const QString& assignment : unit.values(QStringLiteral("Environment"))) {
            const QString expanded = expand(assignment);
            const qsizetype equals = expanded.indexOf(QLatin1Char('='));
            environment.insert(expanded.left(equals), expanded.mid(equals + 1));
        }
        for (const QString& line : fileLines(conf)) {
            const qsizetype equals = line.indexOf(QLatin1Char('='));
            environment.insert(line.left(equals), line.mid(equals + 1));
        }
        QStringList command;
        for (const QString& word :
             unit.value(QStringLiteral("ExecStart")).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (word.startsWith(QLatin1Char('$')))
                command +=
                    environment.value(word.mid(1)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            else
                command += word;
        }
        const mode_t umask =
            static_cast<mode_t>(unit.value(QStringLiteral("UMask")).toUInt(nullptr, 8));
        QCOMPARE(umask, mode_t(027));

        QProcess poll;
        poll.setProcessEnvironment(environment);
        poll.setWorkingDirectory(QStringLiteral("/"));
        poll.setChildProcessModifier([=] {
            ::umask(umask);
            if (::setgroups(1, &supplementary) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0 ||
                ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
                ::_exit(127);
        });
        QByteArray err;
        const auto errors = [&] {
            err += poll.readAllStandardError();
            return err;
        };
        poll.start(command.takeFirst(), command);
        QVERIFY(poll.waitForStarted(10000));
        const auto stopPoll = qScopeGuard([&] {
            if (poll.state() != QProcess::NotRunning) {
                poll.kill();
                poll.waitForFinished(10000);
            }
            QDir(state).removeRecursively();
            QDir(logs).removeRecursively();
        });
        QTRY_VERIFY2_WITH_TIMEOUT(goodRows(csv) >= 2, errors().constData(), 20000);
        QVERIFY2(fileLines(csv).filter(QStringLiteral(",12340,")).size() >= 2,
                 qPrintable(fileLines(csv).join(QLatin1Char('\n'))));
        const QFileInfo written(csv);
        QCOMPARE(written.ownerId(), uid);
        QCOMPARE(written.permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::WriteGroup),
                 QFile::Permissions());

        // systemctl reload: logrotate has moved the file; the poll starts a new one.
        QVERIFY(QFile::rename(csv, csv + QStringLiteral(".1")));
        QVERIFY(::kill(static_cast<pid_t>(poll.processId()), SIGHUP) == 0);
        QTRY_VERIFY2_WITH_TIMEOUT(goodRows(csv) >= 1, errors().constData(), 20000);

        // systemctl stop: the summary, with the samples delivered through the store.
        QVERIFY(::kill(static_cast<pid_t>(poll.processId()), SIGTERM) == 0);
        QVERIFY(poll.waitForFinished(20000));
        const QString summary = QString::fromUtf8(errors());
        QVERIFY2(poll.exitStatus() == QProcess::NormalExit && poll.exitCode() == 0,
                 qPrintable(summary));
        QVERIFY2(summary.contains(QRegularExpression(QStringLiteral("[1-9]\\d* delivered"))),
                 qPrintable(summary));
        bool storeWritten = false;
        for (QDirIterator it(state, QDir::AllEntries | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            storeWritten = QFileInfo(it.next()).ownerId() == uid || storeWritten;
        QVERIFY2(storeWritten, "the poll wrote nothing in its state folder");
    }

    // A purge leaves nothing of the packages: their files, the folders they made, the
    // service's state and logs (the user qf7320 stays, as Debian's system users do).
    void purgeLeavesNothing() {
        if (!installed_)
            QSKIP("the packages are not installed (see install)");
        // What a service left, as a real one would have.
        QVERIFY(QDir().mkpath(QStringLiteral("/var/lib/qf7320/sensor")));
        QVERIFY(QDir().mkpath(QStringLiteral("/var/log/qf7320")));
        QVERIFY(purge());
        QVERIFY(!installed(QStringLiteral("qf7320")));
        QVERIFY(!installed(QStringLiteral("qf7320-tool")));
        QStringList left;
        for (const QString& file : files_) {
            const QFileInfo info(file);
            // Folders every system has, such as /usr/share/man/man1, stay.
            const bool ours = file.contains(QLatin1String("qf7320"));
            if ((ours || !info.isDir()) && (info.exists() || info.isSymLink()))
                left << file;
        }
        for (const char* path :
             {"/var/lib/qf7320", "/var/log/qf7320", "/usr/bin/comm.set", "/usr/bin/COM1"})
            if (QFileInfo::exists(QLatin1String(path)))
                left << QLatin1String(path);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char('\n'))));
    }

    void cleanupTestCase() {
        if (installed_ && !purged_)
            purge();
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "test_package.moc"
