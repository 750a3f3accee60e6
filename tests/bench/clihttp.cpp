// qf7320 poll --period 0 with its web server watched as in a cabinet: a Prometheus scraping
// /metrics every second and a browser holding the page open, against the same poll without
// --http, taking turns on the same simulator; and the page's total transfer.

#include "tests/bench/bench.h"

#include "tests/support/httpclient.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

namespace bench {

namespace {

constexpr int kRounds = 3;
constexpr int kBaud = 115200;
const QStringList kPacedSimulator{QStringLiteral("--pace"), QStringLiteral("--delay"),
                                  QStringLiteral("5")};

quint16 freePort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

// One poll of `samples`, with --http at `port` and a headless Chromium on its page when `port`
// is not 0; its rate, or 0 with `error`.
double poll(const ProgramDir& dir, int samples, quint16 port, std::string& error) {
    const QString output = dir.file(QStringLiteral("samples.jsonl"));
    QStringList args{QStringLiteral("--port"), dir.link(),
                     QStringLiteral("--baud"), QString::number(kBaud),
                     QStringLiteral("poll"),   QStringLiteral("--period"),
                     QStringLiteral("0"),      QStringLiteral("--samples"),
                     QString::number(samples), QStringLiteral("--json")};
    if (port)
        args << QStringLiteral("--http") << QStringLiteral("127.0.0.1:%1").arg(port);
    QProcess process;
    process.setStandardOutputFile(output);
    process.setReadChannel(QProcess::StandardError);
    process.start(QStringLiteral(QF_CLI_PATH), args);
    // Running, not merely starting, before its standard error is waited on below.
    process.waitForStarted(10000);
    QProcess browser;
    if (port) {
        // The page opened once the server says where it is, and kept open to the end.
        QByteArray said;
        while (!said.contains("serving this poll") && process.state() == QProcess::Running)
            if (process.waitForReadyRead(100))
                said += process.readAllStandardError();
        browser.setStandardOutputFile(QProcess::nullDevice());
        browser.setStandardErrorFile(QProcess::nullDevice());
        QTemporaryDir profile;
        browser.start(QStringLiteral("chromium"),
                      {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                       QStringLiteral("--disable-gpu"),
                       QStringLiteral("--user-data-dir=") + profile.path(),
                       QStringLiteral("http://127.0.0.1:%1/").arg(port)});
        if (!browser.waitForStarted(10000)) {
            error = "chromium did not start";
            return 0;
        }
    }
    if (!process.waitForFinished(600000) || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        error = "qf7320 poll failed";
        return 0;
    }
    if (port) {
        browser.terminate();
        if (!browser.waitForFinished(10000))
            browser.kill();
    }
    const PollSamples polled = pollSamples(output, samples);
    error = polled.error;
    return polled.perSecond;
}

} // namespace

int cliHttp(int samples) {
    ProgramDir dir;
    Simulator sim;
    if (!dir.valid() || !sim.start(dir, kBaud, kPacedSimulator))
        return failure("the simulator did not start: " + sim.log().toStdString());

    // A Prometheus scraping the server's port every second, for the whole measurement: between
    // the served runs its scrapes fail, as they would against a logger restarted.
    const quint16 port = freePort();
    QTemporaryDir prometheusDir;
    QFile config(prometheusDir.filePath(QStringLiteral("prometheus.yml")));
    if (!config.open(QIODevice::WriteOnly))
        return failure("cannot write the Prometheus configuration");
    config.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: qf7320\n"
                 "    static_configs:\n      - targets: ['127.0.0.1:" +
                 QByteArray::number(port) + "']\n");
    config.close();
    QProcess prometheus;
    prometheus.setStandardOutputFile(QProcess::nullDevice());
    prometheus.setStandardErrorFile(QProcess::nullDevice());
    const quint16 prometheusPort = freePort();
    prometheus.start(
        QStringLiteral("prometheus"),
        {QStringLiteral("--config.file=") + config.fileName(),
         QStringLiteral("--storage.tsdb.path=") + prometheusDir.filePath(QStringLiteral("tsdb")),
         QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(prometheusPort)});
    if (!prometheus.waitForStarted(10000))
        return failure("prometheus did not start");
    for (int i = 0; i < 300 && httpGet(prometheusPort, "/-/ready").status != 200; ++i)
        QThread::msleep(100);

    std::vector<double> plain;
    std::vector<double> served;
    std::string error;
    for (int round = 0; round < kRounds; ++round) {
        plain.push_back(poll(dir, samples, 0, error));
        served.push_back(poll(dir, samples, port, error));
        if (!error.empty())
            return failure(error);
    }
    prometheus.terminate();
    prometheus.waitForFinished(10000);
    result("per_second", summarize(plain).median);
    result("http_per_second", summarize(served).median);

    // The page as a browser first loads it: the HTML, the script and the style, heads included.
    const QString output = dir.file(QStringLiteral("samples.jsonl"));
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setReadChannel(QProcess::StandardError);
    process.start(QStringLiteral(QF_CLI_PATH),
                  {QStringLiteral("--port"), dir.link(), QStringLiteral("--baud"),
                   QString::number(kBaud), QStringLiteral("poll"), QStringLiteral("--duration"),
                   QStringLiteral("30"), QStringLiteral("--http"),
                   QStringLiteral("127.0.0.1:%1").arg(port)});
    process.waitForStarted(10000);
    QByteArray said;
    while (!said.contains("serving this poll") && process.state() == QProcess::Running)
        if (process.waitForReadyRead(100))
            said += process.readAllStandardError();
    double bytes = 0;
    for (const QByteArray path : {"/", "/app.js", "/style.css"}) {
        const HttpReply reply = httpGet(port, path);
        if (reply.status != 200)
            return failure("the page's " + path.toStdString() + " was not served: " +
                           reply.raw.left(100).toStdString() + said.toStdString());
        bytes += double(reply.raw.size());
    }
    process.terminate();
    process.waitForFinished(10000);
    result("page_kib", bytes / 1024.0);
    return 0;
}

} // namespace bench
