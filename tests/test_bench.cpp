// The technician's bench: qf7320 calibrate against the simulated sensor playing one that needs
// calibrating (its true light, its scale factor and offset off, noise, firmware that scales
// otherwise), and apply and diff carrying one sensor's parameters to several, against the
// simulator and a libmodbus server. The real program is run as a process and judged by its exit
// status, its output, its log and what the sensor holds afterwards.

#include "tests/support/cliprocess.h"
#include "tests/support/modbusserver.h"
#include "tests/support/simprocess.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);

using Run = ProgramRun;

Run run(const QStringList& args) {
    return runProgram(kProgram, args, 60000);
}

// The simulator on COM1 in a directory of its own; qf7320 is pointed at it with --port.
struct Bench {
    SimProcess sim;

    bool start(const QStringList& simArgs) { return sim.start(simArgs); }
    Run qf7320(const QStringList& args) const {
        return run(QStringList{QStringLiteral("--port"), sim.link} + args);
    }
    // The simulator's log up to now: every request it heard, and what it wrote.
    QByteArray log() {
        sim.waitForLog("ready on");
        return sim.log;
    }
    QString file(const QString& name) const { return QDir(sim.dir.path()).filePath(name); }
};

bool writeFile(const QString& path, const QByteArray& contents) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestBench : public QObject {
    Q_OBJECT
private slots:
    // Each sensor the simulator plays, calibrated with --json and --log: the outcome, the
    // passes it took, the record in the log, and what the sensor holds afterwards (read back
    // with get, which tells whether anything was written).
    void calibrate_data() {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<int>("passes");
        QTest::addColumn<QStringList>("holds"); // get's first two lines afterwards
        QTest::addColumn<QString>("message");   // on standard error; none when empty
        const QStringList highBy8{"--lux", "10000", "--scale", "1.08"};
        const QStringList offsetFirst{"--lux",    "10000", "--scale",       "1.08",
                                      "--offset", "200",   "--offset-first"};
        QTest::newRow("8 % high, within 1 % in one pass")
            << highBy8 << QStringList{"--reference", "10000"} << 0 << "calibrated" << 1
            << QStringList{"scale 1.0000", "offset 0"} << "";
        QTest::newRow("firmware adding the offset before the scale converges within three")
            << offsetFirst << QStringList{"--reference", "10000"} << 0 << "calibrated" << 3
            << QStringList{"scale 0.8309", "offset 200"} << "";
        QTest::newRow("no convergence within 0.1 %: said with the figures")
            << offsetFirst << QStringList{"--reference", "10000", "--tolerance", "0.1"} << 6
            << "not-converged" << 3 << QStringList{"scale 0.8309", "offset 200"}
            << "station 1 did not come within 0.1 % of 10000 lx in 3 passes: it reads 9970 lx, "
               "-30 lx (-0.30 %), with scale 0.8309 (before: 12960 lx with scale 1.0800)";
        QTest::newRow("unsteady light refused, nothing written")
            << QStringList{"--lux", "10000", "--scale", "1.08", "--noise", "5"}
            << QStringList{"--reference", "10000"} << 7 << "unsteady" << 0
            << QStringList{"scale 1.0800", "offset 0"}
            << "the light is not steady: 10 samples of station 1 from ";
        QTest::newRow("a failed sample refused, nothing written")
            << QStringList{"--lux",   "10000",  "--scale",       "1.08",
                           "--fault", "silent", "--fault-every", "4"}
            << QStringList{"--reference", "10000", "--retries", "0", "--timeout", "100"} << 7
            << "unsteady" << 0 << QStringList{"scale 1.0800", "offset 0"}
            << "a sample failed, so the light cannot be taken as steady: no reply from station 1 "
               "to sample 3 of 10 (the read of register 0)";
        QTest::newRow("a scale factor out of range refused with its figure")
            << QStringList{"--lux", "10000"} << QStringList{"--reference", "100000"} << 7
            << "out-of-range" << 0 << QStringList{"scale 1.0000", "offset 0"}
            << "the scale factor would be 10.0000, outside 0.2000 to 6.0000";
        QTest::newRow("dry run writes nothing")
            << highBy8 << QStringList{"--reference", "10000", "--dry-run"} << 0 << "dry-run" << 0
            << QStringList{"scale 1.0800", "offset 0"} << "";
        QTest::newRow("covered: the dark reading brought to 0")
            << QStringList{"--lux", "50", "--offset", "3"} << QStringList{"--zero"} << 0 << "zeroed"
            << 1 << QStringList{"scale 1.0000", "offset -5"} << "";
    }
    void calibrate() {
        QFETCH(QStringList, sim);
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, outcome);
        QFETCH(int, passes);
        QFETCH(QStringList, holds);
        QFETCH(QString, message);
        Bench bench;
        QVERIFY2(bench.start(sim), bench.sim.log);
        const QString log = bench.file(QStringLiteral("calibration.jsonl"));

        const Run r =
            bench.qf7320(QStringList{QStringLiteral("calibrate")} + args +
                         QStringList{QStringLiteral("--period"), QStringLiteral("10"),
                                     QStringLiteral("--json"), QStringLiteral("--log"), log});
        QVERIFY2(r.code == code, r.what());
        const QJsonObject object = r.object();
        QVERIFY2(!object.isEmpty(), r.what());
        QCOMPARE(object.value(QStringLiteral("outcome")).toString(), outcome);
        QCOMPARE(object.value(QStringLiteral("passes")).toArray().size(), passes);
        if (message.isEmpty())
            QVERIFY2(r.err.isEmpty(), r.what());
        else
            QVERIFY2(QString::fromUtf8(r.err).contains(message), r.what());
        // The log holds the same record, one line.
        QCOMPARE(contents(log), r.out);

        const QJsonObject before = object.value(QStringLiteral("before")).toObject();
        const QJsonObject after = object.value(QStringLiteral("after")).toObject();
        if (outcome == QLatin1String("calibrated")) {
            QVERIFY2(std::abs(after.value(QStringLiteral("error_pct")).toDouble()) <= 1.0, r.out);
            QCOMPARE(after.value(QStringLiteral("lux")).toArray().size(), 10);
        }
        if (outcome == QLatin1String("zeroed")) {
            QCOMPARE(before.value(QStringLiteral("mean")).toDouble(), 80.0);
            QCOMPARE(after.value(QStringLiteral("mean")).toDouble(), 0.0);
        }
        if (passes == 0)
            QVERIFY2(!bench.log().contains("wrote"), bench.sim.log);

        const Run get = bench.qf7320({QStringLiteral("get")});
        QVERIFY2(get.code == 0, get.what());
        QCOMPARE(get.lines().mid(0, 2), holds);
    }

    // What the technician reads: the present values, before, each pass, the result.
    void calibrateShowsBeforeAndAfter() {
        Bench bench;
        QVERIFY2(bench.start({QStringLiteral("--lux"), QStringLiteral("10000"),
                              QStringLiteral("--scale"), QStringLiteral("1.08")}),
                 bench.sim.log);
        const Run r =
            bench.qf7320({QStringLiteral("calibrate"), QStringLiteral("--reference"),
                          QStringLiteral("10000"), QStringLiteral("--samples"), QStringLiteral("4"),
                          QStringLiteral("--period"), QStringLiteral("10")});
        QVERIFY2(r.code == 0, r.what());
        QCOMPARE(r.lines(), (QStringList{
                                QStringLiteral("station 1: scale 1.0800, offset 0; reference "
                                               "10000 lx"),
                                QStringLiteral("before: 10800 lx (4 samples 10800-10800), error "
                                               "+800 lx (+8.00 %)"),
                                QStringLiteral("pass 1: scale 1.0800 -> 1.0000 (verified); 10000 "
                                               "lx (4 samples 10000-10000), error +0 lx (+0.00 %)"),
                                QStringLiteral("calibrated: error +8.00 % -> +0.00 % (at most 1 "
                                               "%), scale 1.0800 -> 1.0000"),
                            }));
        QVERIFY2(r.err.isEmpty(), r.what());
    }

    // Bad usage and bad files are refused before anything reaches the line.
    void refusedBeforeSending_data() {
        QTest::addColumn<QStringList>("args"); // with a file, FILE stands for its path
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("message");
        QTest::newRow("calibrate without a reference")
            << QStringList{"calibrate"} << QByteArray()
            << "calibrate needs --reference LUX, what the reference meter beside the sensor "
               "reads, or --zero";
        QTest::newRow("calibrate with both")
            << QStringList{"calibrate", "--reference", "100", "--zero"} << QByteArray()
            << "give --reference LUX or --zero, not both";
        QTest::newRow("a reference of 0") << QStringList{"calibrate", "--reference", "0"}
                                          << QByteArray() << "--reference 0 is not an illuminance";
        QTest::newRow("--steady above 100")
            << QStringList{"calibrate", "--reference", "100", "--steady", "101"} << QByteArray()
            << "--steady 101 is not a percentage: 0-100";
        QTest::newRow("no samples")
            << QStringList{"calibrate", "--reference", "100", "--samples", "0"} << QByteArray()
            << "--samples 0 is not a count of samples: 1-1000";
        QTest::newRow("a log that cannot be written")
            << QStringList{"calibrate", "--reference", "100", "--log", "/nonexistent/log.jsonl"}
            << QByteArray() << "cannot append to --log /nonexistent/log.jsonl";
        QTest::newRow("apply without a file")
            << QStringList{"apply"} << QByteArray() << "apply needs one FILE";
        QTest::newRow("a file that is not there")
            << QStringList{"apply", "/nonexistent/settings.json"} << QByteArray()
            << "cannot read /nonexistent/settings.json";
        QTest::newRow("an unknown field")
            << QStringList{"apply", "FILE"} << QByteArray(R"({"scale":1.0,"gain":2})")
            << "has a field 'gain', which is no parameter";
        QTest::newRow("a value outside its range")
            << QStringList{"diff", "FILE"} << QByteArray(R"({"scale":1.0,"da4":900})")
            << "da4 900 in FILE is outside 650 to 800";
        QTest::newRow("a value that is no number")
            << QStringList{"apply", "FILE"} << QByteArray(R"({"offset":"-12"})")
            << "offset in FILE is \"-12\", not a number";
        QTest::newRow("get's text instead of its JSON")
            << QStringList{"apply", "FILE"} << QByteArray("scale 1.0000\noffset 0\n")
            << "FILE is not what 'qf7320 get --json' prints";
        QTest::newRow("JSON but no object")
            << QStringList{"apply", "FILE"} << QByteArray("[1.0,0]") << "it is JSON, but no object";
        QTest::newRow("several stations' objects")
            << QStringList{"apply", "FILE"}
            << QByteArray("{\"station\":1,\"scale\":1.0}\n{\"station\":2,\"scale\":1.1}\n")
            << "it holds 2 objects, one a line";
        QTest::newRow("no parameter at all")
            << QStringList{"diff", "FILE"} << QByteArray(R"({"station":1,"status":"timeout"})")
            << "gives none of the parameters";
    }
    void refusedBeforeSending() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        Bench bench;
        QVERIFY2(bench.start({}), bench.sim.log);
        const QString path = bench.file(QStringLiteral("settings.json"));
        if (!file.isEmpty()) {
            QVERIFY(writeFile(path, file));
            args.replaceInStrings(QStringLiteral("FILE"), path);
            message.replace(QStringLiteral("FILE"), path);
        }
        const Run r = bench.qf7320(args);
        QVERIFY2(r.code == 1, r.what());
        QVERIFY2(QString::fromUtf8(r.err).contains(message), r.what());
        QVERIFY2(r.out.isEmpty(), r.what());
        QVERIFY2(!bench.log().contains(" rx "), bench.sim.log);
    }

    // One sensor's parameters, as get --json printed them, carried to three on one bus, the
    // second of which does not keep what it acknowledges; then compared.
    void applyToThreeStationsOneFailing() {
        SimProcess golden;
        QVERIFY2(golden.start({QStringLiteral("--scale"), QStringLiteral("0.95"),
                               QStringLiteral("--offset"), QStringLiteral("-12")}),
                 golden.log);
        const Run settings = run({QStringLiteral("--port"), golden.link, QStringLiteral("get"),
                                  QStringLiteral("--json")});
        QVERIFY2(settings.code == 0, settings.what());

        Bench bench;
        QVERIFY2(bench.start({QStringLiteral("--station"), QStringLiteral("1,2,3"),
                              QStringLiteral("--scale"), QStringLiteral("1.08"),
                              QStringLiteral("--write-skew"), QStringLiteral("1"),
                              QStringLiteral("--skewed"), QStringLiteral("2")}),
                 bench.sim.log);
        const QString file = bench.file(QStringLiteral("settings.json"));
        QVERIFY(writeFile(file, settings.out));

        const Run applied = bench.qf7320(
            {QStringLiteral("-s"), QStringLiteral("1-3"), QStringLiteral("apply"), file});
        QVERIFY2(applied.code == 6, applied.what());
        QStringList expected;
        for (const int station : {1, 3})
            for (const char* line :
                 {"scale 1.0800 -> 0.9500 (verified)", "offset 0 -> -12 (verified)",
                  "da4 700 unchanged", "da20 4000 unchanged", "range 20000 unchanged"})
                expected << QStringLiteral("station %1: %2").arg(station).arg(QLatin1String(line));
        QCOMPARE(applied.lines(), expected);
        QVERIFY2(applied.err.contains("verification failed: station 2 acknowledged scale 0.9500 "
                                      "(register value 9500) but reads back 0.9501 (9501). "
                                      "Station 2 stopped there: no other parameter written; not "
                                      "written: offset"),
                 applied.what());

        // diff: the failed station differs, the others hold the file; one that does not answer
        // ranks above a difference.
        const Run compared = bench.qf7320({QStringLiteral("-s"), QStringLiteral("1-3"),
                                           QStringLiteral("diff"), file, QStringLiteral("--json")});
        QVERIFY2(compared.code == 8, compared.what());
        const QList<QJsonObject> objects = compared.objects();
        QCOMPARE(objects.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(objects[i].value(QStringLiteral("station")).toInt(), i + 1);
            QCOMPARE(objects[i].value(QStringLiteral("differs")).toBool(), i == 1);
        }
        const QJsonObject offset = objects[1].value(QStringLiteral("offset")).toObject();
        QCOMPARE(offset.value(QStringLiteral("old")).toInt(), 0);
        QCOMPARE(offset.value(QStringLiteral("new")).toInt(), -12);
        QCOMPARE(objects[1].value(QStringLiteral("scale")).toObject().value("old").toDouble(),
                 0.9501);

        const Run text =
            bench.qf7320({QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("diff"), file});
        QVERIFY2(text.code == 8, text.what());
        QCOMPARE(text.lines().mid(0, 2),
                 (QStringList{QStringLiteral("scale 0.9501 -> 0.9500 "
                                             "(differs)"),
                              QStringLiteral("offset 0 -> -12 (differs)")}));
        const int writes = bench.log().count("wrote");
        struct Case {
            const char* stations;
            int code;
        };
        for (const Case c : {Case{"1,3", 0}, Case{"2,4", 3}}) {
            const Run r = bench.qf7320({QStringLiteral("-s"), QLatin1String(c.stations),
                                        QStringLiteral("diff"), file, QStringLiteral("--timeout"),
                                        QStringLiteral("50")});
            QVERIFY2(r.code == c.code, r.what());
        }
        // apply again where everything is in place: nothing is written.
        const Run again = bench.qf7320(
            {QStringLiteral("-s"), QStringLiteral("1,3"), QStringLiteral("apply"), file});
        QVERIFY2(again.code == 0, again.what());
        QVERIFY2(again.lines().contains(QStringLiteral("station 3: scale 0.9500 unchanged")),
                 again.what());
        QCOMPARE(bench.log().count("wrote"), writes);
    }

    // An independent Modbus peer with a plain register map: the writes land in 0x0A03-0x0A07,
    // encoded as the window encodes them, while the read-back comes from registers 3-7, so that
    // every changed value fails its verification: the first write stops there and the rest stay
    // unwritten.
    void applyAgainstLibmodbus() {
        ModbusServer server;
        QVERIFY(!server.slaveName.isEmpty());
        const std::uint16_t present[] = {10800, 0, 700, 4000, 20000};
        for (int i = 0; i < 5; ++i)
            server.set(3 + i, present[i]);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("settings.json"));
        const QStringList port{QStringLiteral("--port"), server.slaveName};

        QVERIFY(writeFile(file, R"({"scale":1.08,"offset":-12,"da4":720})"));
        const Run compared = run(port + QStringList{QStringLiteral("diff"), file});
        QVERIFY2(compared.code == 8, compared.what());
        QCOMPARE(compared.lines(), (QStringList{QStringLiteral("scale 1.0800 unchanged"),
                                                QStringLiteral("offset 0 -> -12 (differs)"),
                                                QStringLiteral("da4 700 -> 720 (differs)")}));

        const Run applied =
            run(port + QStringList{QStringLiteral("apply"), file, QStringLiteral("--json")});
        QVERIFY2(applied.code == 6, applied.what());
        QCOMPARE(server.get(0x0A04), std::uint16_t(65524)); // -12 in two's complement
        QCOMPARE(server.get(0x0A05), std::uint16_t(0));     // da4 not written
        QCOMPARE(server.get(0x0A03), std::uint16_t(0));     // scale unchanged, not written
        const QJsonObject object = applied.object();
        QCOMPARE(object.value(QStringLiteral("written")).toArray(), QJsonArray());
        QCOMPARE(object.value(QStringLiteral("offset")).toObject().value("verified").toBool(true),
                 false);
        QVERIFY2(applied.err.contains("Station 1 stopped there: no other parameter written; not "
                                      "written: da4"),
                 applied.what());
    }
};

QTEST_GUILESS_MAIN(TestBench)
#include "test_bench.moc"
