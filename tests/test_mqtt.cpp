// qf7320 poll --mqtt against a mosquitto broker of the test's own on a loopback port, watched
// through mosquitto_sub: every sample arrives with its sequence number, through a broker stopped
// mid-poll, a poll killed while the broker is away, a full store; credentials and certificates
// that are refused say so; Home Assistant's configs; the password is never on show. Also the
// sample store driven directly.

#include "logger/publish/store.h"
#include "tests/support/mosquittoprocess.h"
#include "tests/support/simprocess.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);
const QString kPrefix = QStringLiteral("test/line");
const QByteArray kPassword = "s3cret-Pa55";

// The state messages a subscriber got: for each station, the seq numbers in arrival order.
QMap<int, QList<int>> seqsByStation(const QList<QByteArray>& lines) {
    QMap<int, QList<int>> seqs;
    for (const QByteArray& line : lines) {
        if (!line.contains("/state "))
            continue;
        const QJsonObject object =
            QJsonDocument::fromJson(line.mid(line.indexOf(' ') + 1)).object();
        seqs[object.value(QStringLiteral("station")).toInt()]
            << object.value(QStringLiteral("seq")).toInt();
    }
    return seqs;
}

// Every number from 1 to n, each at least once, the first arrivals in order.
bool everySeq(const QList<int>& seqs, int n) {
    int next = 1;
    for (const int seq : seqs)
        if (seq == next)
            ++next;
        else if (seq > next)
            return false;
    return next == n + 1;
}

struct Poll {
    QProcess process;
    QByteArray out;
    QByteArray err;

    bool start(const QString& port, const QStringList& args,
               const QByteArray& password = QByteArray()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!password.isEmpty())
            environment.insert(QStringLiteral("QF7320_MQTT_PASSWORD"), QString::fromUtf8(password));
        process.setProcessEnvironment(environment);
        process.start(kProgram,
                      QStringList{QStringLiteral("--port"), port, QStringLiteral("poll")} + args);
        return process.waitForStarted(10000);
    }
    void read() {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }
    int finish(int signal = 0) {
        if (signal)
            ::kill(static_cast<pid_t>(process.processId()), signal);
        if (!process.waitForFinished(30000))
            process.kill();
        read();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    QByteArray what() const { return out + err; }
};

} // namespace

class TestMqtt : public QObject {
    Q_OBJECT
private slots:
    void init() {
        simProcess_ = std::make_unique<SimProcess>();
        QVERIFY2(simProcess_->start({QStringLiteral("--lux"), QStringLiteral("4200")}),
                 simProcess_->log);
        sim_.link = simProcess_->link;
    }
    void cleanup() { simProcess_.reset(); }

    // Two stations, 30 cycles back to back: each station's samples arrive with seq 1..30, the
    // state JSON carries every field, and the status goes online, then offline at a clean end.
    void everySampleArrives() {
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);
        MqttSubscriber subscriber;
        QVERIFY(subscriber.start(broker, kPrefix + QStringLiteral("/#")));
        QTemporaryDir store;
        Poll poll;
        QVERIFY(poll.start(sim_.link, {QStringLiteral("--period"), QStringLiteral("0"),
                                       QStringLiteral("--samples"), QStringLiteral("30"),
                                       QStringLiteral("--timeout"), QStringLiteral("20"),
                                       QStringLiteral("--mqtt"), broker.url(kPrefix),
                                       QStringLiteral("--mqtt-store"), store.path()}));
        QCOMPARE(poll.finish(), 0);
        QVERIFY2(poll.err.contains("30 delivered, 0 waiting"), poll.what());
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.lines().contains(kPrefix.toUtf8() + "/status offline"),
                                 10000);
        const QList<QByteArray> lines = subscriber.lines();
        QVERIFY(lines.contains(kPrefix.toUtf8() + "/status online"));
        const auto seqs = seqsByStation(lines);
        QCOMPARE(seqs.keys(), (QList<int>{1}));
        QVERIFY2(everySeq(seqs.value(1), 30), subscriber.text);

        const QByteArray& first = lines.at(lines.indexOf(kPrefix.toUtf8() + "/status online") + 1);
        QVERIFY2(first.startsWith(kPrefix.toUtf8() + "/1/state "), first);
        const QJsonObject object =
            QJsonDocument::fromJson(first.mid(first.indexOf(' ') + 1)).object();
        QCOMPARE(object.value(QStringLiteral("seq")).toInt(), 1);
        QCOMPARE(object.value(QStringLiteral("station")).toInt(), 1);
        QCOMPARE(object.value(QStringLiteral("lux")).toInt(), 4200);
        QCOMPARE(object.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        QVERIFY(object.value(QStringLiteral("latency_ms")).toDouble() > 0);
        QVERIFY(QDateTime::fromString(object.value(QStringLiteral("time")).toString(),
                                      Qt::ISODateWithMs)
                    .isValid());

        // A station that does not answer: its samples are published too, lux null.
        Poll silent;
        QVERIFY(silent.start(
            sim_.link, {QStringLiteral("-s"), QStringLiteral("9"), QStringLiteral("--period"),
                        QStringLiteral("0"), QStringLiteral("--samples"), QStringLiteral("2"),
                        QStringLiteral("--timeout"), QStringLiteral("20"), QStringLiteral("--mqtt"),
                        broker.url(kPrefix), QStringLiteral("--mqtt-store"), store.path()}));
        QCOMPARE(silent.finish(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(seqsByStation(subscriber.lines()).value(9).size() == 2, 10000);
        QVERIFY(subscriber.text.contains("\"station\":9,\"lux\":null,\"status\":\"timeout\","
                                         "\"latency_ms\":null}"));
    }

    // The store's disk takes nothing for a while (a file-size limit set on the running poll):
    // the samples wait in memory and reach the broker, every seq, once it takes them again.
    void storeCannotBeWritten() {
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);
        MqttSubscriber subscriber;
        QVERIFY(subscriber.start(broker, kPrefix + QStringLiteral("/+/state")));
        QTemporaryDir store;
        Poll poll;
        QVERIFY(poll.start(sim_.link, {QStringLiteral("--period"), QStringLiteral("20"),
                                       QStringLiteral("--mqtt"), broker.url(kPrefix),
                                       QStringLiteral("--mqtt-store"), store.path()}));
        QTRY_VERIFY_WITH_TIMEOUT(seqsByStation(subscriber.lines()).value(1).size() >= 3, 10000);
        const pid_t pid = static_cast<pid_t>(poll.process.processId());
        const struct rlimit none { 0, RLIM_INFINITY };
        QCOMPARE(::prlimit(pid, RLIMIT_FSIZE, &none, nullptr), 0);
        QTRY_VERIFY_WITH_TIMEOUT((poll.read(), poll.err.contains("cannot write the store")), 10000);
        const qsizetype before = (poll.read(), poll.out.count('\n'));
        QTRY_VERIFY_WITH_TIMEOUT((poll.read(), poll.out.count('\n') >= before + 20), 10000);
        const struct rlimit room { RLIM_INFINITY, RLIM_INFINITY };
        QCOMPARE(::prlimit(pid, RLIMIT_FSIZE, &room, nullptr), 0);
        QTRY_VERIFY_WITH_TIMEOUT((poll.read(), poll.err.contains("writing the store")), 10000);
        QCOMPARE(poll.finish(SIGTERM), 0);
        const int samples = int(poll.out.count('\n'));
        QVERIFY2(QTest::qWaitFor(
                     [&] { return everySeq(seqsByStation(subscriber.lines()).value(1), samples); },
                     15000),
                 subscriber.text.right(400) + poll.err);
        QVERIFY2(poll.err.contains("File too large; samples wait in memory") &&
                     !poll.err.contains("not stored"),
                 poll.err);
    }

    // The broker stopped for a while mid-poll and started again: the poll keeps its period
    // (the CSV rows say so), and every seq arrives.
    void brokerStoppedMidPoll() {
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);
        MqttSubscriber subscriber;
        QVERIFY(subscriber.start(broker, kPrefix + QStringLiteral("/+/state"),
                                 QStringLiteral("watcher")));
        QTemporaryDir store;
        const QString csv = store.filePath(QStringLiteral("log.csv"));
        Poll poll;
        QVERIFY(poll.start(sim_.link, {QStringLiteral("--period"), QStringLiteral("50"),
                                       QStringLiteral("--csv"), csv, QStringLiteral("--mqtt"),
                                       broker.url(kPrefix), QStringLiteral("--mqtt-store"),
                                       store.filePath(QStringLiteral("store"))}));
        QTRY_VERIFY_WITH_TIMEOUT(seqsByStation(subscriber.lines()).value(1).size() >= 5, 10000);
        broker.stop();
        subscriber.lines(); // what it got; it is started again once the broker is back
        subscriber.process.kill();
        QVERIFY(subscriber.process.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT((poll.read(), poll.err.contains("lost the broker")), 10000);
        const qsizetype before = (poll.read(), poll.out.count('\n'));
        QTRY_VERIFY_WITH_TIMEOUT((poll.read(), poll.out.count('\n') >= before + 30), 10000);
        QVERIFY(broker.start());
        // Its session was kept by the broker: what was published meanwhile waits for it.
        QVERIFY(subscriber.start(broker, kPrefix + QStringLiteral("/+/state"),
                                 QStringLiteral("watcher")));
        QTRY_VERIFY_WITH_TIMEOUT((poll.read(), poll.err.contains("waiting go now")), 20000);
        QCOMPARE(poll.finish(SIGTERM), 0);
        const int samples = int(poll.out.count('\n'));
        QVERIFY2(QTest::qWaitFor(
                     [&] { return seqsByStation(subscriber.lines()).value(1).contains(samples); },
                     15000),
                 subscriber.text.right(400) + poll.err + broker.log.right(1000));
        QVERIFY2(everySeq(seqsByStation(subscriber.lines()).value(1), samples), subscriber.text);

        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> rows = file.readAll().split('\n').mid(1, samples);
        QDateTime previous;
        qint64 widest = 0;
        for (const QByteArray& row : rows) {
            const QDateTime time = QDateTime::fromString(
                QString::fromUtf8(row.left(row.indexOf(','))), Qt::ISODateWithMs);
            if (previous.isValid())
                widest = std::max(widest, previous.msecsTo(time));
            previous = time;
        }
        QVERIFY2(widest < 250, qPrintable(QString::number(widest)));
    }

    // Killed (SIGKILL) while the broker is away, started again on the same store once it is
    // back: the samples taken meanwhile arrive, in order, and the seq numbers go on.
    void killedWhileTheBrokerIsAway() {
        MosquittoProcess broker; // not started yet
        QTemporaryDir store;
        const QStringList mqtt{QStringLiteral("--mqtt"), broker.url(kPrefix),
                               QStringLiteral("--mqtt-store"), store.path()};
        Poll first;
        QVERIFY(first.start(sim_.link,
                            QStringList{QStringLiteral("--period"), QStringLiteral("10")} + mqtt));
        QTRY_VERIFY_WITH_TIMEOUT((first.read(), first.out.count('\n') >= 10), 10000);
        QVERIFY2(first.err.contains("cannot reach the broker") &&
                     first.err.contains("samples wait in"),
                 first.what());
        first.finish(SIGKILL);
        const int taken = int(first.out.count('\n'));

        QVERIFY2(broker.start(), broker.log);
        MqttSubscriber subscriber;
        QVERIFY(subscriber.start(broker, kPrefix + QStringLiteral("/+/state")));
        Poll second;
        QVERIFY(
            second.start(sim_.link, QStringList{QStringLiteral("--period"), QStringLiteral("0"),
                                                QStringLiteral("--samples"), QStringLiteral("3")} +
                                        mqtt));
        QCOMPARE(second.finish(), 0);
        QVERIFY2(second.err.contains(" 0 waiting"), second.what());
        QTRY_VERIFY_WITH_TIMEOUT(seqsByStation(subscriber.lines()).value(1).size() >= taken + 3,
                                 10000);
        const QList<int> seqs = seqsByStation(subscriber.lines()).value(1);
        QVERIFY2(everySeq(seqs, taken + 3), subscriber.text);
        QCOMPARE(seqs.size(), taken + 3); // nothing delivered twice here: no broker restart
    }

    // A store that holds at most 5: the oldest are dropped, said once and counted; what is
    // kept arrives later.
    void fullStoreDropsTheOldest() {
        MosquittoProcess broker;
        QTemporaryDir store;
        const QStringList mqtt{QStringLiteral("--mqtt"),        broker.url(kPrefix),
                               QStringLiteral("--mqtt-store"),  store.path(),
                               QStringLiteral("--mqtt-buffer"), QStringLiteral("5")};
        Poll away;
        QVERIFY(
            away.start(sim_.link, QStringList{QStringLiteral("--period"), QStringLiteral("0"),
                                              QStringLiteral("--samples"), QStringLiteral("12")} +
                                      mqtt));
        QCOMPARE(away.finish(), 0);
        QCOMPARE(away.err.count("the oldest are dropped"), 1);
        QVERIFY2(away.err.contains("0 delivered, 5 waiting") && away.err.contains("7 dropped"),
                 away.what());

        QVERIFY2(broker.start(), broker.log);
        MqttSubscriber subscriber;
        QVERIFY(subscriber.start(broker, kPrefix + QStringLiteral("/+/state")));
        Poll back;
        QVERIFY(back.start(sim_.link,
                           QStringList{QStringLiteral("--samples"), QStringLiteral("1")} + mqtt));
        QCOMPARE(back.finish(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(seqsByStation(subscriber.lines()).value(1),
                                  (QList<int>{8, 9, 10, 11, 12, 13}), 10000);
    }

    // Credentials: a wrong password is refused with exit 2 before the line is touched; the
    // right one, from the environment or a file, is taken. The password is in no argument list,
    // message or trace.
    void password() {
        MosquittoProcess broker;
        broker.user = QStringLiteral("logger");
        broker.password = QString::fromUtf8(kPassword);
        QVERIFY2(broker.start(), broker.log);
        const QString url = broker.url(kPrefix, QStringLiteral("logger"));
        QTemporaryDir store;
        const QStringList args{QStringLiteral("--samples"),
                               QStringLiteral("2"),
                               QStringLiteral("--period"),
                               QStringLiteral("0"),
                               QStringLiteral("-v"),
                               QStringLiteral("--mqtt"),
                               url,
                               QStringLiteral("--mqtt-store"),
                               store.path()};

        Poll wrong;
        QVERIFY(wrong.start(sim_.link, args, "not-it"));
        QCOMPARE(wrong.finish(), 2);
        QVERIFY2(wrong.err.contains("refused the user logger and its password"), wrong.what());
        QVERIFY2(wrong.out.isEmpty() && !wrong.err.contains("> 01 03"), wrong.what());

        Poll none;
        QVERIFY(none.start(sim_.link, args));
        QCOMPARE(none.finish(), 2);

        Poll right;
        QVERIFY(right.start(
            sim_.link, QStringList{QStringLiteral("--period"), QStringLiteral("20")} + args.mid(4),
            kPassword));
        QTRY_VERIFY_WITH_TIMEOUT((right.read(), right.out.count('\n') >= 3), 10000);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(right.process.processId()));
        QVERIFY(cmdline.open(QIODevice::ReadOnly));
        const QByteArray arguments = cmdline.readAll();
        QVERIFY(arguments.contains("--mqtt"));
        QVERIFY(!arguments.contains(kPassword));
        QCOMPARE(right.finish(SIGTERM), 0);
        QVERIFY2(right.err.contains(" delivered, 0 waiting"), right.what());

        QFile file(store.filePath(QStringLiteral("password")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(kPassword + "\n");
        file.close();
        Poll fromFile;
        QVERIFY(fromFile.start(sim_.link, args + QStringList{QStringLiteral("--mqtt-password-file"),
                                                             file.fileName()}));
        QCOMPARE(fromFile.finish(), 0);

        for (const Poll* poll : {&wrong, &none, &right, &fromFile})
            QVERIFY2(!poll->what().contains(kPassword), poll->what());
    }

    // TLS: a self-signed certificate does not verify against the system's certificates (exit 2,
    // said); it does against itself given with --mqtt-ca; --mqtt-insecure takes it unverified.
    void certificate() {
        MosquittoProcess broker;
        broker.tls = true;
        QVERIFY2(broker.start(), broker.log);
        QTemporaryDir store;
        const QStringList args{QStringLiteral("--samples"),    QStringLiteral("2"),
                               QStringLiteral("--period"),     QStringLiteral("0"),
                               QStringLiteral("--mqtt"),       broker.url(kPrefix),
                               QStringLiteral("--mqtt-store"), store.path()};
        Poll refused;
        QVERIFY(refused.start(sim_.link, args));
        QCOMPARE(refused.finish(), 2);
        QVERIFY2(refused.err.contains("does not verify") && refused.err.contains("--mqtt-ca"),
                 refused.what());
        QVERIFY(refused.out.isEmpty());

        Poll verified;
        QVERIFY(verified.start(
            sim_.link, args + QStringList{QStringLiteral("--mqtt-ca"), broker.certificate}));
        QCOMPARE(verified.finish(), 0);
        QVERIFY2(verified.err.contains("2 delivered"), verified.what());

        Poll insecure;
        QVERIFY(insecure.start(sim_.link, args + QStringList{QStringLiteral("--mqtt-insecure")}));
        QCOMPARE(insecure.finish(), 0);
        QVERIFY2(insecure.err.contains("2 delivered"), insecure.what());
    }

    // --ha: a retained config per station with the fields Home Assistant reads, published
    // again when Home Assistant says it is online.
    void homeAssistantDiscovery() {
        MosquittoProcess broker;
        QVERIFY2(broker.start(), broker.log);
        QTemporaryDir store;
        Poll poll;
        QVERIFY(poll.start(sim_.link,
                           {QStringLiteral("-s"), QStringLiteral("1,4"), QStringLiteral("--period"),
                            QStringLiteral("100"), QStringLiteral("--timeout"),
                            QStringLiteral("20"), QStringLiteral("--mqtt"), broker.url(kPrefix),
                            QStringLiteral("--mqtt-store"), store.path(), QStringLiteral("--ha"),
                            QStringLiteral("--ha-prefix"), QStringLiteral("ha")}));
        MqttSubscriber subscriber; // after the poll: the configs are retained
        QVERIFY(subscriber.start(broker, QStringLiteral("ha/sensor/#")));
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.lines().size() == 2, 10000);
        QStringList stations;
        for (const QByteArray& line : subscriber.lines()) {
            const QByteArray topic = line.left(line.indexOf(' '));
            const QJsonObject config =
                QJsonDocument::fromJson(line.mid(line.indexOf(' ') + 1)).object();
            QVERIFY2(!config.isEmpty(), line);
            const QString station = QString::fromUtf8(topic)
                                        .section(QLatin1Char('_'), -1)
                                        .section(QLatin1Char('/'), 0, 0);
            stations << station;
            QVERIFY2(topic.startsWith("ha/sensor/qf7320_") && topic.endsWith("/lux/config"), topic);
            QCOMPARE(config.value(QStringLiteral("device_class")).toString(),
                     QStringLiteral("illuminance"));
            QCOMPARE(config.value(QStringLiteral("unit_of_measurement")).toString(),
                     QStringLiteral("lx"));
            QCOMPARE(config.value(QStringLiteral("state_class")).toString(),
                     QStringLiteral("measurement"));
            QCOMPARE(config.value(QStringLiteral("state_topic")).toString(),
                     kPrefix + QStringLiteral("/%1/state").arg(station));
            QCOMPARE(config.value(QStringLiteral("value_template")).toString(),
                     QStringLiteral("{{ value_json.lux }}"));
            QCOMPARE(config.value(QStringLiteral("availability_topic")).toString(),
                     kPrefix + QStringLiteral("/status"));
            QVERIFY(!config.value(QStringLiteral("unique_id")).toString().isEmpty());
            const QJsonObject device = config.value(QStringLiteral("device")).toObject();
            QCOMPARE(device.value(QStringLiteral("model")).toString(), QStringLiteral("QF7320"));
            QVERIFY(!device.value(QStringLiteral("identifiers")).toArray().isEmpty());
            QVERIFY(!device.value(QStringLiteral("name")).toString().isEmpty());
            QCOMPARE(
                config.value(QStringLiteral("origin")).toObject().value(QStringLiteral("name")),
                QJsonValue(QStringLiteral("qf7320")));
        }
        stations.sort();
        QCOMPARE(stations, (QStringList{QStringLiteral("1"), QStringLiteral("4")}));

        QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_pub"),
                                   {QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("-p"), QString::number(broker.port),
                                    QStringLiteral("-t"), QStringLiteral("ha/status"),
                                    QStringLiteral("-m"), QStringLiteral("online")}),
                 0);
        QTRY_VERIFY_WITH_TIMEOUT(subscriber.lines().size() == 4, 10000);
        QCOMPARE(poll.finish(SIGTERM), 0);
    }

    // The store on its own: records come back in order across a reopening, a line cut short
    // by a kill is no record, the bound drops the oldest, and what is released is gone.
    void storeKeepsOrder() {
        using logger::publish::SampleStore;
        QTemporaryDir dir;
        const std::string path = dir.path().toStdString();
        std::string error;
        {
            SampleStore store;
            QVERIFY(store.open(path, 2500, error));
            SampleStore second;
            QVERIFY(!second.open(path, 2500, error));
            QVERIFY(QString::fromStdString(error).contains(QStringLiteral("in use")));
            for (int i = 0; i < 2300; ++i) {
                QCOMPARE(store.nextSeq(3), std::uint64_t(i + 1));
                QCOMPARE(store.append("r" + std::to_string(i)), std::uint64_t(0));
            }
            SampleStore::Cursor cursor = store.begin();
            std::string record;
            for (int i = 0; i < 1500; ++i)
                QVERIFY(store.read(cursor, record));
            QCOMPARE(record, std::string("r1499"));
            store.release(cursor);
            QCOMPARE(store.held(), std::uint64_t(800));
        }
        // Killed mid-write: a line without its end.
        QFile last(dir.filePath(QStringLiteral("00000000000000002000.seg")));
        QVERIFY(last.open(QIODevice::Append));
        last.write("r-cut");
        last.close();

        SampleStore store;
        QVERIFY(store.open(path, 1000, error));
        QCOMPARE(store.held(), std::uint64_t(800));
        QCOMPARE(store.nextSeq(3), std::uint64_t(2301));
        QCOMPARE(store.nextSeq(4), std::uint64_t(1));
        QCOMPARE(store.append("new"), std::uint64_t(0));
        SampleStore::Cursor cursor = store.begin();
        std::string record;
        QVERIFY(store.read(cursor, record));
        QCOMPARE(record, std::string("r1500"));
        for (int i = 0; i < 400; ++i)
            QCOMPARE(store.append("more"), std::uint64_t(i < 199 ? 0 : 1));
        QCOMPARE(store.held(), std::uint64_t(1000));
        // The cursor was behind the oldest record left: it moves to it.
        QVERIFY(store.read(cursor, record));
        QCOMPARE(record, std::string("r1701"));
        cursor = store.begin();
        std::vector<std::string> all;
        while (store.read(cursor, record))
            all.push_back(record);
        QCOMPARE(all.size(), std::size_t(1000));
        QCOMPARE(all[598], std::string("r2299"));
        QCOMPARE(all[599], std::string("new"));
        QCOMPARE(all.back(), std::string("more"));
        store.release(cursor);
        QCOMPARE(store.held(), std::uint64_t(0));
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("00000000000000001000.seg"))));
    }

private:
    std::unique_ptr<SimProcess> simProcess_; // a fresh simulator for every test
    struct {
        QString link;
    } sim_;
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "test_mqtt.moc"
