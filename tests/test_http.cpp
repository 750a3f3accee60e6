// qf7320 poll --http against the simulator: /metrics as Prometheus reads it (promtool, and a real
// Prometheus scraping it every second through a lost port), the page in a real headless Chromium
// (each station's reading, and a changed one arriving live through a lost and found port), the
// JSON, and what a hostile or broken client sends: each gets its error or is dropped, while the
// poll keeps its period and loses no sample. Prometheus and Chromium tests are skipped, saying
// so, when the program is not installed.

#include "tests/support/httpclient.h"
#include "tests/support/simprocess.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <csignal>
#include <memory>
#include <vector>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QString write(const QTemporaryDir& dir, const QString& name, const QByteArray& text) {
    QFile file(dir.filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(text);
    return file.fileName();
}

// Waits at most `ms` for `done`, the event loop running meanwhile.
template <typename Done> bool waitFor(Done done, int ms = 20000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QTest::qWait(100);
    }
    return true;
}

// qf7320 poll with --http, the port it serves at read from what it says on standard error.
struct Poll {
    QProcess process;
    QByteArray err;
    quint16 port = 0;

    bool start(const QStringList& args) {
        process.start(kProgram, args);
        if (!process.waitForStarted(10000))
            return false;
        static const QRegularExpression serving(
            QStringLiteral("serving this poll at http://127\\.0\\.0\\.1:(\\d+)/"));
        return waitFor([&] {
                   err += process.readAllStandardError();
                   const auto match = serving.match(QString::fromUtf8(err));
                   port = match.hasMatch() ? match.captured(1).toUShort() : 0;
                   return port != 0 || process.state() != QProcess::Running;
               }) &&
               port != 0;
    }
    int finish(int signal = SIGTERM) {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        if (!process.waitForFinished(30000))
            process.kill();
        err += process.readAllStandardError();
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
};

// The first line of /metrics that starts with `series`, its value; NaN when there is none.
double metric(const QByteArray& metrics, const QByteArray& series) {
    for (const QByteArray& line : metrics.split('\n'))
        if (line.startsWith(series + ' '))
            return line.mid(series.size() + 1).toDouble();
    return qQNaN();
}

// A Prometheus of the test's own, scraping one target every second, with its query API.
struct Prometheus {
    QTemporaryDir dir;
    QProcess process;
    quint16 port = 0;

    bool start(quint16 target) {
        const QString config = write(dir, QStringLiteral("prometheus.yml"),
                                     "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                     "scrape_configs:\n  - job_name: qf7320\n"
                                     "    static_configs:\n      - targets: ['127.0.0.1:" +
                                         QByteArray::number(target) + "']\n");
        port = freePort();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(
            QStringLiteral("prometheus"),
            {QStringLiteral("--config.file=") + config,
             QStringLiteral("--storage.tsdb.path=") + dir.filePath(QStringLiteral("tsdb")),
             QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)});
        return process.waitForStarted(10000) &&
               waitFor([&] { return httpGet(port, "/-/ready").status == 200; }, 60000);
    }
    ~Prometheus() {
        process.terminate();
        if (!process.waitForFinished(10000))
            process.kill();
    }
    // The query's instant vector: each series' value.
    QList<double> query(const QString& expression) {
        const HttpReply reply =
            httpGet(port, "/api/v1/query?query=" + QUrl::toPercentEncoding(expression));
        QList<double> values;
        const QJsonArray result =
            reply.json().object()[QStringLiteral("data")][QStringLiteral("result")].toArray();
        for (const auto& series : result)
            values << series[QStringLiteral("value")][1].toString().toDouble();
        return values;
    }
};

// Chromium driven through chromedriver's WebDriver API, headless.
struct Browser {
    QProcess driver;
    quint16 port = 0;
    QByteArray session;

    bool start() {
        port = freePort();
        driver.start(QStringLiteral("chromedriver"), {QStringLiteral("--port=%1").arg(port)});
        if (!driver.waitForStarted(10000) ||
            !waitFor([&] { return httpGet(port, "/status").status == 200; }))
            return false;
        // As root, as in CI, Chromium runs only without its sandbox.
        const QByteArray capabilities =
            R"({"capabilities":{"alwaysMatch":{"goog:chromeOptions":{"args":["--headless",
            "--no-sandbox","--disable-gpu","--disable-dev-shm-usage","--window-size=900,800"]}}}})";
        const HttpReply made = httpRequest(port, "POST", "/session", {}, capabilities, 60000);
        session =
            made.json()[QStringLiteral("value")][QStringLiteral("sessionId")].toString().toUtf8();
        return !session.isEmpty();
    }
    ~Browser() {
        if (!session.isEmpty())
            httpRequest(port, "DELETE", "/session/" + session);
        driver.terminate();
        if (!driver.waitForFinished(10000))
            driver.kill();
    }
    bool open(const QString& url) {
        return httpRequest(port, "POST", "/session/" + session + "/url", {},
                           QJsonDocument(QJsonObject{{QStringLiteral("url"), url}}).toJson(), 30000)
                   .status == 200;
    }
    // What the script returns, run in the page.
    QJsonValue run(const QString& script) {
        const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("script"), script},
                                                          {QStringLiteral("args"), QJsonArray()}})
                                    .toJson();
        return httpRequest(port, "POST", "/session/" + session + "/execute/sync", {}, body)
            .json()[QStringLiteral("value")];
    }
};

bool installed(const char* program) {
    return !QStandardPaths::findExecutable(QLatin1String(program)).isEmpty();
}

} // namespace

class TestHttp : public QObject {
    Q_OBJECT
private slots:
    // /metrics for an answering station and a silent one: the reading only where there is one
    // (never a false 0), every status counted, the latency histogram agreeing with the count of
    // answered samples, the line up; promtool finds nothing to say. The JSON says the same, with
    // the charts; HEAD gives the head alone.
    void metricsAndJson() {
        SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--lux"), QStringLiteral("4200")}), sim.log);
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("day.csv"));
        Poll poll;
        QVERIFY2(
            poll.start({QStringLiteral("-p"), sim.link, QStringLiteral("-s"), QStringLiteral("1,9"),
                        QStringLiteral("--timeout"), QStringLiteral("20"), QStringLiteral("poll"),
                        QStringLiteral("--period"), QStringLiteral("0"), QStringLiteral("--csv"),
                        csv, QStringLiteral("--http"), QStringLiteral("0")}),
            poll.err);
        HttpReply reply;
        QVERIFY(waitFor([&] {
            reply = httpGet(poll.port, "/metrics");
            return metric(reply.body, R"(qf7320_samples_total{station="9",status="timeout"})") >= 2;
        }));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Type"),
                 QByteArray("text/plain; version=0.0.4; charset=utf-8"));
        const QByteArray& text = reply.body;
        QCOMPARE(metric(text, R"(qf7320_illuminance_lux{station="1"})"), 4200.0);
        QVERIFY2(!text.contains(R"(qf7320_illuminance_lux{station="9"})"), text);
        QVERIFY(!text.contains(R"(qf7320_last_ok_timestamp_seconds{station="9"})"));
        const double lastOk = metric(text, R"(qf7320_last_ok_timestamp_seconds{station="1"})");
        QVERIFY(qAbs(lastOk - QDateTime::currentMSecsSinceEpoch() / 1000.0) < 60);
        const double answered = metric(text, R"(qf7320_samples_total{station="1",status="ok"})");
        QVERIFY(answered >= 1);
        QCOMPARE(metric(text, R"(qf7320_latency_seconds_count{station="1"})"), answered);
        QCOMPARE(metric(text, R"(qf7320_latency_seconds_bucket{station="1",le="+Inf"})"), answered);
        QCOMPARE(metric(text, R"(qf7320_latency_seconds_count{station="9"})"), 0.0);
        QCOMPARE(metric(text, "qf7320_line_up{port=\"" + sim.link.toUtf8() + "\"}"), 1.0);
        QCOMPARE(metric(text, "qf7320_line_losses_total{port=\"" + sim.link.toUtf8() + "\"}"), 0.0);
        QCOMPARE(metric(text, "qf7320_csv_rows_waiting"), 0.0);
        QVERIFY(!text.contains("qf7320_mqtt_samples_waiting"));
        QVERIFY(text.contains("\nqf7320_build_info{version=\""));

        if (installed("promtool")) {
            QProcess promtool;
            promtool.setProcessChannelMode(QProcess::MergedChannels);
            promtool.start(QStringLiteral("promtool"),
                           {QStringLiteral("check"), QStringLiteral("metrics")});
            promtool.write(text);
            promtool.closeWriteChannel();
            QVERIFY(promtool.waitForFinished(30000));
            const QByteArray said = promtool.readAll();
            QVERIFY2(promtool.exitCode() == 0 && said.isEmpty(), said);
        } else {
            qWarning("promtool is not installed (the prometheus package): the exposition is not "
                     "linted");
        }

        const HttpReply state = httpGet(poll.port, "/api/v1/stations");
        QCOMPARE(state.status, 200);
        QCOMPARE(state.header("Content-Type"), QByteArray("application/json"));
        const QJsonArray stations = state.json()[QStringLiteral("stations")].toArray();
        QCOMPARE(stations.size(), 2);
        QCOMPARE(stations[0][QStringLiteral("station")].toInt(), 1);
        QCOMPARE(stations[0][QStringLiteral("lux")].toInt(), 4200);
        QCOMPARE(stations[0][QStringLiteral("status")].toString(), QStringLiteral("ok"));
        const QJsonArray column =
            stations[0][QStringLiteral("chart")][QStringLiteral("columns")][0].toArray();
        QCOMPARE(column[1].toInt(), 4200);
        QCOMPARE(column[2].toInt(), 4200);
        QVERIFY(stations[1][QStringLiteral("lux")].isNull());
        // Timed out, then asked less often: skipped in some cycles.
        QVERIFY(QStringList({QStringLiteral("timeout"), QStringLiteral("skipped")})
                    .contains(stations[1][QStringLiteral("status")].toString()));
        QVERIFY(stations[1][QStringLiteral("samples")][QStringLiteral("timeout")].toInt() >= 2);
        QVERIFY(stations[1][QStringLiteral("failed")].toInt() >= 2);
        const QJsonArray failed =
            stations[1][QStringLiteral("chart")][QStringLiteral("columns")][0].toArray();
        QVERIFY(failed[1].isNull() && failed[4].toInt() > 0); // no reading, failures marked

        const HttpReply head = httpRequest(poll.port, "HEAD", "/metrics");
        QCOMPARE(head.status, 200);
        QVERIFY(head.header("Content-Length").toInt() > 1000);
        QVERIFY(head.body.isEmpty());
        QCOMPARE(poll.finish(), 0);
    }

    // A real Prometheus scrapes every second while the poll reads the simulator: its query API
    // has the reading; once the simulator is gone, the line is down, failed samples are
    // counted and the reading is gone rather than 0.
    void prometheusScrapes() {
        if (!installed("prometheus"))
            QSKIP("prometheus is not installed (the prometheus package)");
        SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--lux"), QStringLiteral("4200")}), sim.log);
        Poll poll;
        QVERIFY2(poll.start({QStringLiteral("-p"), sim.link, QStringLiteral("poll"),
                             QStringLiteral("--period"), QStringLiteral("100"),
                             QStringLiteral("--http"), QStringLiteral("127.0.0.1:0")}),
                 poll.err);
        Prometheus prometheus;
        QVERIFY2(prometheus.start(poll.port), prometheus.process.readAll());
        const QString lux = QStringLiteral("qf7320_illuminance_lux{station=\"1\"}");
        QVERIFY2(waitFor([&] { return prometheus.query(lux) == QList<double>{4200}; }, 30000),
                 prometheus.process.readAll());
        QCOMPARE(prometheus.query(QStringLiteral("qf7320_line_up")), QList<double>{1});

        sim.kill();
        QVERIFY(waitFor([&] {
            return prometheus.query(QStringLiteral("qf7320_line_up")) == QList<double>{0};
        }));
        QCOMPARE(prometheus.query(QStringLiteral("qf7320_line_losses_total")), QList<double>{1});
        QVERIFY(waitFor([&] {
            const QList<double> failed = prometheus.query(
                QStringLiteral("sum(qf7320_samples_total{status=\"port-error\"})"));
            return !failed.isEmpty() && failed[0] >= 2;
        }));
        QVERIFY(waitFor([&] { return prometheus.query(lux).isEmpty(); }));
        poll.finish();
    }

    // The page in a headless Chromium: each station's reading as the simulator gives it; then
    // the port lost, said on the page; the simulator back with new readings, shown live on the
    // same page (no reload), its return said.
    void browserShowsTheBus() {
        if (!installed("chromedriver") || !installed("chromium"))
            QSKIP("chromium or chromedriver is not installed (the chromium and chromium-driver "
                  "packages)");
        SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--station"), QStringLiteral("1,2"),
                            QStringLiteral("--lux"), QStringLiteral("4200,5300")}),
                 sim.log);
        Poll poll;
        QVERIFY2(
            poll.start({QStringLiteral("-p"), sim.link, QStringLiteral("-s"), QStringLiteral("1,2"),
                        QStringLiteral("poll"), QStringLiteral("--period"), QStringLiteral("200"),
                        QStringLiteral("--http"), QStringLiteral("0")}),
            poll.err);
        Browser browser;
        QVERIFY2(browser.start(), browser.driver.readAll());
        QVERIFY(browser.open(QStringLiteral("http://127.0.0.1:%1/").arg(poll.port)));
        const QString readings = QStringLiteral(
            "return [...document.querySelectorAll('.reading')].map(e => e.dataset.lux).join()");
        const QString line = QStringLiteral("return document.getElementById('line').textContent");
        QVERIFY(waitFor([&] { return browser.run(readings) == QStringLiteral("4200,5300"); }));
        QVERIFY(browser.run(line).toString().contains(QStringLiteral("open")));
        browser.run(QStringLiteral("window.samePage = true"));

        sim.kill();
        QVERIFY(
            waitFor([&] { return browser.run(line).toString().contains(QStringLiteral("lost")); }));
        SimProcess again;
        QVERIFY2(again.startAt(sim.link, {QStringLiteral("--station"), QStringLiteral("1,2"),
                                          QStringLiteral("--lux"), QStringLiteral("4300,5400")}),
                 again.log);
        QVERIFY2(waitFor([&] { return browser.run(readings) == QStringLiteral("4300,5400"); }),
                 qPrintable(browser.run(readings).toString()));
        QVERIFY(browser.run(line).toString().contains(QStringLiteral("back")));
        QCOMPARE(browser.run(QStringLiteral("return window.samePage === true")).toBool(), true);
        poll.finish();
    }

    // What a broken or hostile client sends, while a poll logs to its CSV every 100 ms: each
    // gets its error or is dropped, 32 clients at once get no more than 16 places, the silent
    // ones are dropped after 10 s; meanwhile no sample is lost and no period stretched, and
    // standard error says nothing per request.
    void badClients() {
        SimProcess sim;
        QVERIFY2(sim.start({QStringLiteral("--lux"), QStringLiteral("4200")}), sim.log);
        QTemporaryDir dir;
        const QString csv = dir.filePath(QStringLiteral("day.csv"));
        const QString token = write(dir, QStringLiteral("token"), "s3cret-token\n");
        Poll poll;
        QVERIFY2(
            poll.start({QStringLiteral("-p"), sim.link, QStringLiteral("poll"),
                        QStringLiteral("--period"), QStringLiteral("100"), QStringLiteral("--csv"),
                        csv, QStringLiteral("--http"), QStringLiteral("127.0.0.1:0"),
                        QStringLiteral("--http-token-file"), token}),
            poll.err);
        const quint16 port = poll.port;
        const QByteArray bearer = "Authorization: Bearer s3cret-token\r\n";

        struct Case {
            const char* name;
            QByteArray request;
            int status; // 0: dropped without an answer
        };
        const QByteArray get = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
        const std::vector<Case> cases = {
            {"no token", get + "\r\n", 401},
            {"wrong token", get + "Authorization: Bearer s3cret-tokem\r\n\r\n", 401},
            {"the token's start", get + "Authorization: Bearer s3cret\r\n\r\n", 401},
            {"the token", get + bearer + "\r\n", 200},
            {"the token as a browser's password",
             get + "Authorization: Basic " + QByteArray("anyone:s3cret-token").toBase64() +
                 "\r\n\r\n",
             200},
            {"a POST",
             "POST /metrics HTTP/1.1\r\nHost: x\r\n" + bearer + "Content-Length: 5\r\n\r\nreset",
             405},
            {"a DELETE", "DELETE /api/v1/stations HTTP/1.1\r\nHost: x\r\n" + bearer + "\r\n", 405},
            {"a path with ..", "GET /../../etc/passwd HTTP/1.1\r\nHost: x\r\n" + bearer + "\r\n",
             404},
            {"an unknown path", "GET /admin HTTP/1.1\r\nHost: x\r\n" + bearer + "\r\n", 404},
            {"a 100 KiB header",
             "GET / HTTP/1.1\r\nHost: x\r\n" + bearer + "X-Filler: " + QByteArray(100 * 1024, 'a') +
                 "\r\n\r\n",
             431},
            {"no HTTP at all", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 400},
        };
        for (const Case& c : cases) {
            const HttpReply reply = httpExchange(port, c.request);
            // A request too large may be cut off by the close before its answer is read.
            const bool dropped = c.status == 431 && reply.status == 0;
            QVERIFY2(reply.status == c.status || dropped,
                     qPrintable(QStringLiteral("%1: %2").arg(
                         QLatin1String(c.name), QString::fromUtf8(reply.raw.left(200)))));
            if (c.status == 401)
                QVERIFY(reply.head.contains("WWW-Authenticate: Bearer"));
            if (c.status == 405)
                QCOMPARE(reply.header("Allow"), QByteArray("GET, HEAD"));
        }

        // 32 clients at once, each sending the start of a request and then nothing.
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < 32; ++i) {
            auto client = std::make_unique<QTcpSocket>();
            client->connectToHost(QStringLiteral("127.0.0.1"), port);
            QVERIFY(client->waitForConnected(5000));
            client->write("GET / HTTP/1.1\r\nHost: x\r\n");
            client->waitForBytesWritten(1000);
            clients.push_back(std::move(client));
        }
        QElapsedTimer hanging;
        hanging.start();
        const auto closed = [&] {
            int count = 0;
            for (auto& client : clients) {
                client->waitForReadyRead(1);
                if (client->state() != QAbstractSocket::ConnectedState)
                    ++count;
            }
            return count;
        };
        QVERIFY(waitFor([&] { return closed() >= 16; }, 5000));
        QVERIFY(hanging.elapsed() < 9000);
        int busy = 0;
        for (auto& client : clients)
            busy += client->readAll().startsWith("HTTP/1.1 503 ") ? 1 : 0;
        QVERIFY2(busy >= 16, qPrintable(QString::number(busy)));
        QCOMPARE(httpExchange(port, get + bearer + "\r\n").status, 503); // still full
        QVERIFY(waitFor([&] { return closed() == 32; }, 14000));
        QVERIFY2(hanging.elapsed() >= 9000, qPrintable(QString::number(hanging.elapsed())));
        QCOMPARE(httpExchange(port, get + bearer + "\r\n").status, 200);

        QCOMPARE(poll.finish(), 0);
        QFile file(csv);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> rows = file.readAll().split('\n');
        rows.removeFirst(); // the header
        rows.removeLast();  // after the last line end
        QVERIFY(rows.size() > 100);
        QDateTime previous;
        qint64 longest = 0;
        for (const QByteArray& row : rows) {
            QVERIFY2(row.endsWith(",4200," + row.split(',')[3] + ",ok"), row);
            const QDateTime time =
                QDateTime::fromString(QString::fromUtf8(row.split(',')[0]), Qt::ISODateWithMs);
            if (previous.isValid())
                longest = std::max(longest, previous.msecsTo(time));
            previous = time;
        }
        QVERIFY2(longest < 250, qPrintable(QString::number(longest)));

        // Nothing of a request on standard error: where it serves, the summary, the count.
        QVERIFY2(!poll.err.contains("passwd") && !poll.err.contains("POST") &&
                     !poll.err.contains("s3cret") && poll.err.count('\n') <= 5,
                 poll.err);
        QVERIFY2(poll.err.contains(" requests, "), poll.err);
    }

    // Options that cannot be used: said, exit 1, nothing sent or served.
    void badOptions_data() {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no port") << QStringList{QStringLiteral("--http"),
                                                QStringLiteral("127.0.0.1")}
                                 << QByteArray("is not [ADDRESS:]PORT");
        QTest::newRow("port too large")
            << QStringList{QStringLiteral("--http"), QStringLiteral("70000")}
            << QByteArray("is not [ADDRESS:]PORT");
        QTest::newRow("IPv6 without brackets")
            << QStringList{QStringLiteral("--http"), QStringLiteral("::1:9320")}
            << QByteArray("is not [ADDRESS:]PORT");
        QTest::newRow("a name") << QStringList{QStringLiteral("--http"),
                                               QStringLiteral("logger.lan:9320")}
                                << QByteArray("is not a numeric address");
        QTest::newRow("token without --http")
            << QStringList{QStringLiteral("--http-token-file"), QStringLiteral("/etc/hostname")}
            << QByteArray("--http-token-file goes with --http");
        QTest::newRow("no token file")
            << QStringList{QStringLiteral("--http"), QStringLiteral("0"),
                           QStringLiteral("--http-token-file"), QStringLiteral("/nonexistent/t")}
            << QByteArray("cannot read the token file /nonexistent/t");
        QTest::newRow("empty token file")
            << QStringList{QStringLiteral("--http"), QStringLiteral("0"),
                           QStringLiteral("--http-token-file"), QStringLiteral("/dev/null")}
            << QByteArray("has no token");
        QTest::newRow("port in use")
            << QStringList{QStringLiteral("--http"), QStringLiteral("IN_USE")}
            << QByteArray("cannot listen there");
    }
    void badOptions() {
        QFETCH(QStringList, options);
        QFETCH(QByteArray, message);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        options.replaceInStrings(QStringLiteral("IN_USE"),
                                 QStringLiteral("127.0.0.1:%1").arg(taken.serverPort()));
        SimProcess sim;
        QVERIFY2(sim.start(), sim.log);
        QProcess poll;
        poll.start(kProgram, QStringList{QStringLiteral("-p"), sim.link, QStringLiteral("poll"),
                                         QStringLiteral("--samples"), QStringLiteral("1")} +
                                 options);
        QVERIFY(poll.waitForFinished(20000));
        const QByteArray err = poll.readAllStandardError();
        QVERIFY2(poll.exitCode() == 1 && err.contains(message), err);
        QVERIFY(poll.readAllStandardOutput().isEmpty());
        QVERIFY2(!sim.waitForLog(" rx ", 1, 200), sim.log); // nothing was sent
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "test_http.moc"
