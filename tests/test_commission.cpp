// qf7320 commission as a technician at the bench meets it: the real program run as a process
// against the simulator on a pseudo-terminal, whose sensors the test takes off the line and
// connects while the command runs (qf7320-sim --control -), judged by what the command prints,
// logs and writes to the sensors.

#include "tests/support/ptypair.h"
#include "tests/support/simprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);
const QRegularExpression kSensorLine(QStringLiteral(
    "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d)  address (\\d+)  "
    "scale (\\S+), offset (\\S+), da4 (\\d+), da20 (\\d+), range (\\d+)$"));
// The address change as the simulator logs the request: function 6 to register 0x0B00.
const QByteArray kAddressWrite = "rx 01 06 0B 00";

QStringList lines(const QByteArray& text) {
    QStringList list = QString::fromUtf8(text).split(QLatin1Char('\n'));
    if (!list.isEmpty() && list.last().isEmpty())
        list.removeLast();
    return list;
}

// The simulated bench: its line, whose sensors the test puts on and takes off.
struct Bench {
    SimProcess sim;

    bool start(const QStringList& extra = {}) {
        return sim.start(QStringList{QStringLiteral("--control"), QStringLiteral("-")} + extra);
    }
    // How many address changes the line has carried, once it has carried at least `fewest`.
    qsizetype addressWrites(qsizetype fewest) {
        sim.waitForLog(kAddressWrite, fewest);
        return sim.log.count(kAddressWrite);
    }
};

// qf7320 commission running against the bench, its output gathered as it comes.
struct Commission {
    QProcess process;
    QByteArray out;
    QByteArray err;

    Commission() = default;
    Commission(const Commission&) = delete;
    Commission& operator=(const Commission&) = delete;
    ~Commission() {
        process.kill();
        process.waitForFinished(5000);
    }

    bool start(const Bench& bench, const QStringList& args) {
        process.start(kProgram, QStringList{QStringLiteral("--port"), bench.sim.link,
                                            QStringLiteral("--timeout"), QStringLiteral("100"),
                                            QStringLiteral("commission")} +
                                    args);
        return process.waitForStarted(10000);
    }
    void read() {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
    // Waits until `text` has appeared `times` times on standard error (or standard output).
    bool says(const QByteArray& text, qsizetype times = 1, int ms = 15000) {
        QDeadlineTimer deadline(ms);
        for (;;) {
            read();
            if (err.count(text) + out.count(text) >= times)
                return true;
            if (deadline.hasExpired() || process.state() != QProcess::Running)
                return false;
            process.waitForReadyRead(50);
        }
    }
    bool finishes(int ms = 15000) {
        const bool finished = process.waitForFinished(ms);
        read();
        return finished && process.exitStatus() == QProcess::NormalExit;
    }
    QByteArray what() const {
        return "exit " + QByteArray::number(process.exitCode()) + "\n" + out + err;
    }
};

QList<QJsonObject> jsonLines(const QByteArray& text) {
    QList<QJsonObject> objects;
    for (const QByteArray& line : text.split('\n'))
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

QByteArray fileContents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

} // namespace

class TestCommission : public QObject {
    Q_OBJECT
private slots:
    // Three sensors in a row: the first at once; then two connected together (said, nothing
    // written until one is left); then one whose address is already taken on the line (said,
    // it waits until that sensor is gone); the last address ends the run.
    void threeSensorsInARow() {
        Bench bench;
        QVERIFY2(bench.start({QStringLiteral("--lux"), QStringLiteral("500")}), bench.sim.log);
        const QString log = bench.sim.dir.filePath(QStringLiteral("box.jsonl"));
        Commission c;
        QVERIFY(c.start(bench, {"--next", "7", "--last", "9", "--log", log}));

        QVERIFY2(c.says("take it off the line and connect the next sensor (it becomes 8)"),
                 c.what());
        QCOMPARE(bench.addressWrites(1), 1);

        // Two new sensors on the line together, then the first one taken off.
        QVERIFY(bench.sim.control("connect\nconnect\nremove 7\n"));
        QVERIFY2(c.says("several sensors answer at 1 at once: connect one sensor at a time; "
                        "nothing was written"),
                 c.what());
        // A sensor already at 8, and one of the two new ones left at 1.
        QVERIFY(bench.sim.control("remove 1\nconnect 8\nconnect 1\n"));
        QVERIFY2(c.says("station 8 already answers on the line: the sensor at 1 is not moved onto "
                        "it"),
                 c.what());
        // Waiting while the address is taken is no reason to try.
        QVERIFY(bench.sim.waitForNew("rx 01 03 00 00"));
        QVERIFY(bench.sim.waitForNew("rx 08 03 00 00"));
        QCOMPARE(bench.addressWrites(1), 1);

        QVERIFY(bench.sim.control("remove 8\n"));
        QVERIFY2(c.says("(it becomes 9)"), c.what());
        QVERIFY(bench.sim.control("remove 8\nconnect\n"));
        QVERIFY2(c.finishes(), c.what());
        QCOMPARE(c.process.exitCode(), 0);

        const QStringList printed = lines(c.out);
        QCOMPARE(printed.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QRegularExpressionMatch match = kSensorLine.match(printed[i]);
            QVERIFY2(match.hasMatch(), qPrintable(printed[i]));
            QCOMPARE(match.captured(2).toInt(), 7 + i);
            QCOMPARE(match.captured(3), QStringLiteral("1.0000"));
            QCOMPARE(match.captured(7), QStringLiteral("20000"));
        }
        const QList<QJsonObject> logged = jsonLines(fileContents(log));
        QCOMPARE(logged.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(logged[i].keys(), (QStringList{"address", "da20", "da4", "offset", "port",
                                                    "range", "scale", "time"}));
            QCOMPARE(logged[i].value("address").toInt(), 7 + i);
            QCOMPARE(logged[i].value("port").toString(), bench.sim.link);
            QCOMPARE(logged[i].value("scale").toDouble(), 1.0);
            QCOMPARE(logged[i].value("da4").toInt(), 700);
            // The same moment as the printed line.
            QVERIFY2(printed[i].startsWith(logged[i].value("time").toString() + "  "),
                     qPrintable(printed[i]));
        }
        // Each collision and the taken address said once, however long they lasted.
        QCOMPARE(c.err.count("several sensors answer"), 1);
        QCOMPARE(c.err.count("already answers"), 1);
        QVERIFY2(c.err.contains("that was the last address"), c.err);
        QVERIFY2(c.err.contains("qf7320: 3 sensors commissioned: addresses 7, 8, 9\n"), c.err);
        // Neither a pipe nor a log gets the bell.
        QVERIFY(!c.err.contains('\a') && !c.out.contains('\a'));
        QCOMPARE(bench.addressWrites(3), 3);
    }

    // The address query collides while only one sensor answers at the factory address: the
    // other sensor on the line answers elsewhere, and neither is written.
    void aSecondSensorElsewhereIsSeen() {
        Bench bench;
        QVERIFY2(bench.start({QStringLiteral("--station"), QStringLiteral("1,20")}), bench.sim.log);
        Commission c;
        QVERIFY(c.start(bench, {"--next", "2", "--last", "2"}));
        QVERIFY2(c.says("the address query's answers collide"), c.what());
        QVERIFY(bench.sim.waitForNew("rx FA 25"));
        QCOMPARE(bench.addressWrites(0), 0);
        QVERIFY(bench.sim.control("remove 20\n"));
        QVERIFY2(c.finishes(), c.what());
        QCOMPARE(c.process.exitCode(), 0);
        QVERIFY2(c.err.contains("1 sensor commissioned: address 2\n"), c.err);
    }

    // --apply: the file's parameters written to each sensor and read back. A sensor that does
    // not keep them is not commissioned, and the next one gets its address.
    void settingsApplied() {
        Bench bench;
        // The first sensor stores every write one higher than it acknowledges; those connected
        // later keep what they are given.
        QVERIFY2(bench.start({QStringLiteral("--write-skew"), QStringLiteral("1")}), bench.sim.log);
        const QString settings = bench.sim.dir.filePath(QStringLiteral("settings.json"));
        // What get --json prints, with the fields that are no parameter.
        QVERIFY(writeFile(settings, "{\"baud\":9600,\"da20\":4000,\"latency_ms\":9.6,\"offset\":"
                                    "-25,\"port\":\"COM1\",\"scale\":1.08,\"station\":1,"
                                    "\"status\":\"ok\",\"time\":\"2026-12-10T10:00:00.000Z\"}\n"));
        Commission c;
        QVERIFY(c.start(bench, {"--next", "3", "--last", "4", "--apply", settings, "--json"}));
        QVERIFY2(c.says("the sensor at 1 was not commissioned: take it off the line, set it aside "
                        "and connect the next sensor (it becomes 3)"),
                 c.what());
        QVERIFY2(c.err.contains("verification failed: station 3 acknowledged scale 1.0800 "
                                "(register value 10800) but reads back 1.0801 (10801) (nothing "
                                "written before it)"),
                 c.err);
        QVERIFY(bench.sim.control("remove\nconnect\n"));
        QVERIFY2(c.says("(it becomes 4)"), c.what());
        QVERIFY(bench.sim.control("remove\nconnect\n"));
        QVERIFY2(c.finishes(), c.what());
        QCOMPARE(c.process.exitCode(), 6);

        QList<QJsonObject> objects = jsonLines(c.out);
        QCOMPARE(objects.size(), 3);
        // The failure first, with its status and the words said.
        const QJsonObject failure = objects.takeFirst();
        QCOMPARE(failure.value("station").toInt(), 1);
        QCOMPARE(failure.value("address").toInt(), 3);
        QCOMPARE(failure.value("verified").toBool(true), false);
        QCOMPARE(failure.value("status").toString(), QStringLiteral("ok"));
        QVERIFY2(failure.value("error").toString().startsWith("verification failed: station 3 "
                                                              "acknowledged scale 1.0800"),
                 c.out);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(objects[i].value("address").toInt(), 3 + i);
            QCOMPARE(objects[i].value("station").toInt(), 3 + i);
            QCOMPARE(objects[i].value("scale").toDouble(), 1.08);
            QCOMPARE(objects[i].value("offset").toInt(), -25);
            QCOMPARE(objects[i].value("da20").toInt(), 4000);
            QCOMPARE(objects[i].value("status").toString(), QStringLiteral("ok"));
        }
        // da20 already held what the file gives: written only where it differs.
        QCOMPARE(bench.sim.log.count("rx 03 06 0A 06"), 0);
        QVERIFY2(c.err.contains("2 sensors commissioned: addresses 3, 4; 1 not commissioned"),
                 c.err);
    }

    // The adapter pulled out while the command waits: said, and once it is back the sensor
    // found there is commissioned with the next address.
    void goesOnAfterALostPort() {
        Bench bench;
        QVERIFY2(bench.start(), bench.sim.log);
        Commission c;
        QVERIFY(c.start(bench, {"--next", "4", "--last", "5"}));
        QVERIFY2(c.says("(it becomes 5)"), c.what());
        bench.sim.kill();
        QVERIFY2(c.says("lost the port"), c.what());
        QVERIFY2(c.says("waiting for it to come back"), c.what());
        SimProcess again;
        QVERIFY2(again.startAt(bench.sim.link), again.log);
        QVERIFY2(c.says("is back after"), c.what());
        QVERIFY2(c.finishes(), c.what());
        QCOMPARE(c.process.exitCode(), 0);
        QCOMPARE(lines(c.out).size(), 2);
        QVERIFY2(c.err.contains("2 sensors commissioned: addresses 4, 5; port lost 1 time\n"),
                 c.err);
    }

    // Ctrl-C or SIGTERM, whatever the command waits for, ends it at once with the summary.
    void stopsWithTheSummary_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("sensor");
        QTest::addColumn<QByteArray>("summary");
        QTest::newRow("Ctrl-C waiting for the sensor to be taken off")
            << int(SIGINT) << true << QByteArray("qf7320: 1 sensor commissioned: address 2\n");
        QTest::newRow("SIGTERM waiting for the first sensor")
            << int(SIGTERM) << false << QByteArray("qf7320: no sensor commissioned\n");
    }
    void stopsWithTheSummary() {
        QFETCH(int, signal);
        QFETCH(bool, sensor);
        QFETCH(QByteArray, summary);
        Bench bench;
        QVERIFY2(bench.start(), bench.sim.log);
        if (!sensor)
            QVERIFY(bench.sim.control("remove\n"));
        Commission c;
        QVERIFY(c.start(bench, {"--next", "2"}));
        QVERIFY2(c.says(sensor ? "(it becomes 3)" : "connect the first sensor"), c.what());
        QVERIFY(bench.sim.waitForNew("rx 0"));
        QElapsedTimer clock;
        clock.start();
        ::kill(static_cast<pid_t>(c.process.processId()), signal);
        QVERIFY2(c.finishes(5000), c.what());
        QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(c.process.exitCode(), 0);
        QVERIFY2(c.err.endsWith(summary), c.err);
    }

    // The bell rings on standard error when that is a terminal.
    void bellOnATerminal() {
        Bench bench;
        QVERIFY2(bench.start(), bench.sim.log);
        PtyPair terminal;
        QVERIFY(terminal.master >= 0);
        Commission c;
        c.process.setStandardErrorFile(terminal.slaveName);
        QVERIFY(c.start(bench, {"--next", "2", "--last", "2"}));
        QVERIFY2(c.finishes(), c.what());
        QCOMPARE(c.process.exitCode(), 0);
        QByteArray seen;
        for (pollfd ready{terminal.master, POLLIN, 0}; ::poll(&ready, 1, 200) == 1;) {
            char buffer[512];
            const ssize_t n = ::read(terminal.master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen.append(buffer, int(n));
        }
        QVERIFY2(seen.contains("\aqf7320: sensor 1 is at 2: that was the last address"), seen);
        QVERIFY(!c.out.contains('\a'));
    }

    // Bad usage: a message, exit 1, and nothing asked of the line.
    void badUsage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("no --next") << QStringList{} << "commission needs --next N";
        QTest::newRow("a word") << QStringList{"--next", "2", "now"}
                                << "commission takes no arguments, not 'now'";
        QTest::newRow("beyond the window's addresses")
            << QStringList{"--next", "36"} << "--next 36 is outside 1-35";
        QTest::newRow("beyond 247 even with --force")
            << QStringList{"--next", "248", "--force"} << "--next 248 is outside 1-247";
        QTest::newRow("last below next")
            << QStringList{"--next", "5", "--last", "3"} << "--last 3 is below --next 5";
        QTest::newRow("the factory address among them")
            << QStringList{"--from", "3", "--next", "2", "--last", "4"}
            << "the addresses 2-4 include 3, where new sensors answer";
        QTest::newRow("-s") << QStringList{"-s", "2", "--next", "3"} << "not -s";
        QTest::newRow("no settings file") << QStringList{"--next", "2", "--apply", "@missing"}
                                          << "--apply @missing: cannot read it";
        QTest::newRow("a field that is no parameter")
            << QStringList{"--next", "2", "--apply", "@gain"}
            << "it has a field 'gain', which is no parameter";
        QTest::newRow("a value outside its range")
            << QStringList{"--next", "2", "--apply", "@high"}
            << "its scale is 9, not a number within 0.2 to 6; nothing was sent";
        QTest::newRow("not an object")
            << QStringList{"--next", "2", "--apply", "@list"} << "it is not one JSON object";
        QTest::newRow("a log that cannot be opened")
            << QStringList{"--next", "2", "--log", "@nowhere/log.jsonl"} << "cannot open the log";
    }
    void badUsage() {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        Bench bench;
        QVERIFY2(bench.start(), bench.sim.log);
        const QDir dir(bench.sim.dir.path());
        QVERIFY(writeFile(dir.filePath("gain"), "{\"scale\":1.1,\"gain\":2}"));
        QVERIFY(writeFile(dir.filePath("high"), "{\"scale\":9}"));
        QVERIFY(writeFile(dir.filePath("list"), "[1,2]"));
        for (QString& arg : args)
            if (arg.startsWith(QLatin1Char('@')))
                arg = dir.filePath(arg.mid(1));
        message.replace(QStringLiteral("@"), dir.path() + QLatin1Char('/'));
        Commission c;
        QVERIFY(c.start(bench, args));
        QVERIFY2(c.finishes(), c.what());
        QCOMPARE(c.process.exitCode(), 1);
        QVERIFY2(c.err.contains(message.toUtf8()), c.what());
        QVERIFY(c.out.isEmpty());
        // Anything asked would be in the log by now: the command waits for an answer.
        bench.sim.process.waitForReadyRead(50);
        bench.sim.waitForLog("", 0, 0);
        QVERIFY2(!bench.sim.log.contains(" rx "), bench.sim.log);
    }
};

QTEST_GUILESS_MAIN(TestCommission)
#include "test_commission.moc"
