// qf7320 plot against a long log: a week of samples at one a second, as poll --csv writes them,
// with the simulated sensor's drifting reading, an outage each day (no rows for 25 minutes: the
// adapter pulled out) and a timed-out sample now and then. The same log, a day of it, makes the
// README's picture.

#include "tests/bench/bench.h"

#include "sim/sensor.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace bench {

namespace {

constexpr int kSecondsPerDay = 86400;
// The outage each day, in seconds after midnight: 13:05 to 13:30.
constexpr int kOutageStart = 13 * 3600 + 5 * 60;
constexpr int kOutageEnd = 13 * 3600 + 30 * 60;
// One sample in this many times out.
constexpr int kTimeoutEvery = 1777;

// "2026-12-10T14:03:21.000+01:00" for `seconds` after `midnight`, at the offset of midnight.
QByteArray timeText(const QDateTime& midnight, qint64 seconds, const QByteArray& offset) {
    const QDateTime at = midnight.addSecs(seconds);
    const QDate date = at.date();
    const QTime time = at.time();
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d", date.year(),
                  date.month(), date.day(), time.hour(), time.minute(), time.second(),
                  int(seconds * 37 % 1000 / 10)); // the jitter of a real poll's start
    return QByteArray(text) + offset;
}

// Writes `days` days of samples every `period` seconds from the local midnight of 2026-12-10.
bool writeLog(const QString& path, int days, int period) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QDateTime midnight(QDate(2026, 12, 10), QTime(0, 0));
    const int offsetMinutes = midnight.offsetFromUtc() / 60;
    char offset[16] = "Z";
    if (offsetMinutes != 0)
        std::snprintf(offset, sizeof offset, "%c%02d:%02d", offsetMinutes < 0 ? '-' : '+',
                      std::abs(offsetMinutes) / 60, std::abs(offsetMinutes) % 60);
    const sim::Sensor sensor;
    QByteArray text = "time,station,lux,latency_ms,status\n";
    text.reserve(qsizetype(days) * kSecondsPerDay / period * 50);
    long sample = 0;
    for (qint64 second = 0; second < qint64(days) * kSecondsPerDay; second += period) {
        const int ofDay = int(second % kSecondsPerDay);
        if (ofDay >= kOutageStart && ofDay < kOutageEnd)
            continue;
        text += timeText(midnight, second, offset) + ",1,";
        if (++sample % kTimeoutEvery == 0) {
            text += ",,timeout\n";
            continue;
        }
        // The reading as qf7320 shows it: register 0 times 10.
        text += QByteArray::number(sensor.registerValue(0, double(second)) * 10) + ",11." +
                QByteArray::number(sample % 10) + ",ok\n";
    }
    return file.write(text) == text.size();
}

} // namespace

int plotWeek(int days) {
    ProgramDir dir;
    const QString csv = dir.file(QStringLiteral("week.csv"));
    if (!dir.valid() || !writeLog(csv, days, 1))
        return failure("cannot write the log");
    const QString svg = dir.file(QStringLiteral("week.svg"));
    const QString png = dir.file(QStringLiteral("week.png"));
    // Once each way before measuring, so that the file is in the page cache for both.
    std::vector<double> svgMs;
    std::vector<double> pngMs;
    for (int round = 0; round < 3; ++round) {
        const WholeRun a = wholeRun(QStringLiteral(QF_CLI_PATH),
                                    {QStringLiteral("plot"), csv, QStringLiteral("-o"), svg});
        const WholeRun b = wholeRun(QStringLiteral(QF_CLI_PATH),
                                    {QStringLiteral("plot"), csv, QStringLiteral("-o"), png});
        if (!a.ok || !b.ok)
            return failure("qf7320 plot failed");
        svgMs.push_back(a.wallMs);
        pngMs.push_back(b.wallMs);
    }
    result("rows", double(days) * kSecondsPerDay - days * (kOutageEnd - kOutageStart));
    result("csv_mb", double(QFileInfo(csv).size()) / 1e6);
    result("svg_ms", summarize(svgMs).median);
    result("png_ms", summarize(pngMs).median);
    result("svg_kb", double(QFileInfo(svg).size()) / 1024);
    result("png_kb", double(QFileInfo(png).size()) / 1024);
    return 0;
}

int simulatedDay(const QString& csv, int periodSeconds) {
    return writeLog(csv, 1, periodSeconds) ? 0 : failure("cannot write " + csv.toStdString());
}

} // namespace bench
