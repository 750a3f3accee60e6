// qf7320 plot as a user meets it: a poll CSV in, a picture out, judged by the picture's pixels
// (where the station's colour is and is not) and, for input it cannot draw, by its exit status,
// its message and the absence of any picture.

#include "plot/chart.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <functional>

namespace {

const QString kProgram = QStringLiteral(QF_CLI_PATH);
const QByteArray kHeader = "time,station,lux,latency_ms,status\n";

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run runPlot(const QStringList& args) {
    QProcess process;
    process.start(kProgram, QStringList{QStringLiteral("plot")} + args);
    Run run;
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// A row as poll writes it, `second` seconds after 2026-12-10T12:00:00Z.
QByteArray row(int second, int station, int lux, const char* status = "ok") {
    const QDateTime time =
        QDateTime(QDate(2026, 12, 10), QTime(12, 0), QTimeZone::utc()).addSecs(second);
    const bool ok = qstrcmp(status, "ok") == 0;
    return time.toString(Qt::ISODateWithMs).toLatin1() + ',' + QByteArray::number(station) + ',' +
           (ok ? QByteArray::number(lux) : QByteArray()) + ',' + (ok ? "11.4" : "") + ',' + status +
           '\n';
}

// Rows every `step` seconds from `from` to `to` (inclusive) at the lux `luxAt` gives.
QByteArray rows(int from, int to, int step, int station, const std::function<int(int)>& luxAt) {
    QByteArray text;
    for (int second = from; second <= to; second += step)
        text += row(second, station, luxAt(second));
    return text;
}

// Whether the pixel is the colour drawn over white, at least half covering it: what an
// antialiased line leaves.
bool near(QRgb pixel, const QColor& colour) {
    const int p[3] = {qRed(pixel), qGreen(pixel), qBlue(pixel)};
    const int c[3] = {colour.red(), colour.green(), colour.blue()};
    double along = 0;
    double length = 0;
    for (int i = 0; i < 3; ++i) {
        along += double(255 - p[i]) * (255 - c[i]);
        length += double(255 - c[i]) * (255 - c[i]);
    }
    const double cover = along / length;
    double off = 0;
    for (int i = 0; i < 3; ++i)
        off += std::abs(p[i] - (255 - cover * (255 - c[i])));
    return cover >= 0.5 && cover <= 1.2 && off < 40;
}

// Where a colour is in the picture below its title lines.
struct Coverage {
    std::vector<int> rowsInColumn; // how many pixels of the colour each column holds
    int first = -1;                // the first and last columns that hold any
    int last = -1;
    double meanY = 0;

    Coverage(const QImage& image, const QColor& colour) : rowsInColumn(image.width(), 0) {
        long long sumY = 0;
        long long count = 0;
        for (int y = image.height() / 8; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (near(image.pixel(x, y), colour)) {
                    ++rowsInColumn[x];
                    sumY += y;
                    ++count;
                }
        for (int x = 0; x < image.width(); ++x)
            if (rowsInColumn[x] > 0) {
                if (first < 0)
                    first = x;
                last = x;
            }
        meanY = count ? double(sumY) / double(count) : -1;
    }
    bool anyIn(double from, double to) const {
        for (int x = std::max(0, int(std::ceil(from)));
             x <= int(std::floor(to)) && x < int(rowsInColumn.size()); ++x)
            if (rowsInColumn[x] > 0)
                return true;
        return false;
    }
    int rowsSpanned(const QImage& image, const QColor& colour) const {
        int top = image.height();
        int bottom = -1;
        for (int y = image.height() / 8; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (near(image.pixel(x, y), colour)) {
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
        return bottom - top;
    }
};

} // namespace

class TestPlot : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

    QString write(const QString& name, const QByteArray& content) {
        const QString path = dir_.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(content) != content.size())
            return {};
        return path;
    }

private slots:
    // A failed sample at 300 s and no rows from 590 s to 800 s: the line stops at both, the
    // failed sample is marked on the time axis, and the samples around them are drawn.
    void gapsBreakTheLine() {
        QByteArray csv = kHeader;
        const auto lux = [](int second) { return 8000 + 2 * second; };
        csv += rows(0, 290, 10, 1, lux);
        csv += row(300, 1, 0, "timeout");
        csv += rows(310, 590, 10, 1, lux);
        csv += rows(800, 1000, 10, 1, lux);
        const QString file = write(QStringLiteral("gaps.csv"), csv);
        const QString png = dir_.filePath(QStringLiteral("gaps.png"));
        const Run r = runPlot({file, QStringLiteral("-o"), png});
        QVERIFY2(r.code == 0, r.err.constData());
        QCOMPARE(r.out.trimmed(), png.toLocal8Bit());

        const QImage image(png);
        QCOMPARE(image.size(), QSize(1200, 600));
        const Coverage line(image, plot::stationColour(0));
        QVERIFY(line.first >= 0);
        // The line runs from the first sample to the last: that fixes the time axis.
        const auto x = [&](double second) {
            return line.first + second / 1000.0 * (line.last - line.first);
        };
        const double margin = 3; // the pen's width and its round end
        QVERIFY2(!line.anyIn(x(290) + margin, x(310) - margin), "drawn across the failed sample");
        QVERIFY2(!line.anyIn(x(590) + margin, x(800) - margin), "drawn across the pause");
        for (const double second : {100.0, 280.0, 320.0, 580.0, 810.0, 990.0})
            QVERIFY2(line.anyIn(x(second) - 1, x(second) + 1), qPrintable(QString::number(second)));

        const Coverage marks(image, plot::failureColour());
        QVERIFY2(marks.anyIn(x(300) - 2, x(300) + 2), "the failed sample is not marked");
        QVERIFY2(!marks.anyIn(x(320), x(1000) - 200), "a mark where nothing failed");
    }

    // Two stations interleaved, as poll writes them: two colours, each at its own level.
    void stationsHaveTheirOwnColours() {
        QByteArray csv = kHeader;
        for (int second = 0; second <= 600; second += 5)
            csv += row(second, 1, 12000) + row(second, 3, 4000);
        const QString file = write(QStringLiteral("two.csv"), csv);
        const QString png = dir_.filePath(QStringLiteral("two.png"));
        QVERIFY(runPlot({file, QStringLiteral("-o"), png}).code == 0);
        const QImage image(png);
        const Coverage first(image, plot::stationColour(0));
        const Coverage second(image, plot::stationColour(1));
        QVERIFY(first.meanY > 0 && second.meanY > 0);
        QVERIFY2(first.meanY < second.meanY, "station 1 reads more lux: it is higher up");

        // --station keeps one: a single colour, at station 3's level.
        const QString only = dir_.filePath(QStringLiteral("only3.png"));
        QVERIFY(
            runPlot({file, QStringLiteral("-s"), QStringLiteral("3"), QStringLiteral("-o"), only})
                .code == 0);
        const QImage image3(only);
        QVERIFY(Coverage(image3, plot::stationColour(0)).first >= 0);
        QCOMPARE(Coverage(image3, plot::stationColour(1)).first, -1);
    }

    // --from and --to keep the rows between them, both ends included.
    void fromAndToSelectRows() {
        QByteArray csv = kHeader;
        csv += rows(0, 190, 10, 1, [](int) { return 2000; });
        csv += rows(200, 400, 10, 1, [](int second) { return 9000 + second % 20; });
        csv += rows(410, 600, 10, 1, [](int) { return 16000; });
        const QString file = write(QStringLiteral("range.csv"), csv);
        const QString all = dir_.filePath(QStringLiteral("all.png"));
        const QString part = dir_.filePath(QStringLiteral("part.png"));
        QVERIFY(runPlot({file, QStringLiteral("-o"), all}).code == 0);
        const Run r = runPlot({file, QStringLiteral("-o"), part, QStringLiteral("--from"),
                               QStringLiteral("2026-12-10T12:03:20Z"), QStringLiteral("--to"),
                               QStringLiteral("2026-12-10T13:06:40+01:00")});
        QVERIFY2(r.code == 0, r.err.constData());
        const QImage whole(all);
        const QImage selected(part);
        const QColor colour = plot::stationColour(0);
        // The whole day climbs through three levels; the selection is the flat middle alone,
        // across the whole width.
        QVERIFY(Coverage(whole, colour).rowsSpanned(whole, colour) > 200);
        const Coverage middle(selected, colour);
        QVERIFY(middle.rowsSpanned(selected, colour) < 10);
        QVERIFY(middle.last - middle.first > selected.width() / 2);
    }

    // A day at one sample a second, flat but for one sample: the spike survives the thinning
    // and the SVG stays small.
    void thinningKeepsSpikes() {
        QByteArray csv = kHeader;
        csv.reserve(86400 * 48);
        for (int second = 0; second < 86400; ++second)
            csv += row(second, 1, second == 50000 ? 20000 : 1000);
        const QString file = write(QStringLiteral("day.csv"), csv);
        const QString png = dir_.filePath(QStringLiteral("day.png"));
        QVERIFY(runPlot({file, QStringLiteral("-o"), png}).code == 0);
        const QImage image(png);
        QVERIFY(Coverage(image, plot::stationColour(0)).rowsSpanned(image, plot::stationColour(0)) >
                300);

        const Run svg = runPlot({file});
        QVERIFY2(svg.code == 0, svg.err.constData());
        QFile picture(dir_.filePath(QStringLiteral("day.svg")));
        QVERIFY(picture.open(QIODevice::ReadOnly));
        const QByteArray text = picture.readAll();
        QVERIFY(text.contains("<svg"));
        QVERIFY(text.trimmed().endsWith("</svg>"));
        QVERIFY2(text.size() < 200 * 1024, qPrintable(QString::number(text.size())));
    }

    // A row that does not parse is named by its line and left out; the unfinished last line of
    // a file still being written is left out without a word.
    void badRowsAreSkipped() {
        QByteArray csv = kHeader;
        csv += rows(0, 100, 10, 1, [](int) { return 5000; });
        csv += "2026-12-10T12:01:50.000Z,1,lots,11.4,ok\n";
        csv += "not a row\n";
        csv += rows(120, 200, 10, 1, [](int) { return 5000; });
        csv += "2026-12-10T12:03:30.000Z,1,50";
        const QString file = write(QStringLiteral("bad-rows.csv"), csv);
        const Run r =
            runPlot({file, QStringLiteral("-o"), dir_.filePath(QStringLiteral("bad-rows.png"))});
        QVERIFY2(r.code == 0, r.err.constData());
        const QList<QByteArray> lines = r.err.trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[0].contains("line 13:") && lines[0].contains("'lots'"), r.err.constData());
        QVERIFY2(lines[1].contains("line 14:"), r.err.constData());
    }

    // Times as poll writes them and as --from and --to take them, to milliseconds since the epoch.
    void times_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("ms"); // -1: not a time
        const auto utc = [](int hour, int minute, int second, int ms) {
            return QDateTime(QDate(2026, 12, 10), QTime(hour, minute, second, ms), QTimeZone::utc())
                .toMSecsSinceEpoch();
        };
        const auto local = [](int hour, int minute) {
            return QDateTime(QDate(2026, 12, 10), QTime(hour, minute)).toMSecsSinceEpoch();
        };
        QTest::newRow("offset") << "2026-12-10T14:03:21.123+01:00" << utc(13, 3, 21, 123);
        QTest::newRow("west") << "2026-12-10T08:03:21.123-05:00" << utc(13, 3, 21, 123);
        QTest::newRow("Z") << "2026-12-10T13:03:21.123Z" << utc(13, 3, 21, 123);
        QTest::newRow("no fraction") << "2026-12-10T13:03:21Z" << utc(13, 3, 21, 0);
        QTest::newRow("tenths") << "2026-12-10T13:03:21.5Z" << utc(13, 3, 21, 500);
        QTest::newRow("offset without colon") << "2026-12-10T18:33:21+0530" << utc(13, 3, 21, 0);
        QTest::newRow("a blank for T") << "2026-12-10 13:03:21Z" << utc(13, 3, 21, 0);
        QTest::newRow("local") << "2026-12-10T14:30" << local(14, 30);
        QTest::newRow("a date alone") << "2026-12-10" << local(0, 0);
        QTest::newRow("month 13") << "2026-13-10T13:03:21Z" << qint64(-1);
        QTest::newRow("cut off") << "2026-12-10T13:0" << qint64(-1);
        QTest::newRow("trailing") << "2026-12-10T13:03:21Zx" << qint64(-1);
        QTest::newRow("words") << "noon" << qint64(-1);
    }
    void times() {
        QFETCH(QString, text);
        QFETCH(qint64, ms);
        const std::optional<std::int64_t> parsed = plot::parseTime(text);
        if (ms < 0)
            QVERIFY2(!parsed, qPrintable(QString::number(parsed.value_or(0))));
        else
            QCOMPARE(parsed.value_or(-1), ms);
    }

    void badInput_data() {
        QTest::addColumn<QByteArray>("content"); // the CSV; null: there is no file
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("message");
        const QByteArray day = kHeader + rows(0, 600, 10, 1, [](int) { return 5000; });
        QTest::newRow("not a poll CSV") << QByteArray("a,b,c\n1,2,3\n") << QStringList()
                                        << "it is not a poll CSV: its first line is 'a,b,c'";
        QTest::newRow("empty") << QByteArray("") << QStringList() << "it is empty";
        QTest::newRow("header alone") << kHeader << QStringList() << "holds no samples";
        QTest::newRow("no row parses") << kHeader + "x,1,5,1,ok\n"
                                       << QStringList() << "holds no samples";
        QTest::newRow("no file") << QByteArray() << QStringList() << "cannot read";
        QTest::newRow("range without samples") << day << QStringList{"--from", "2026-12-11"}
                                               << "holds no samples between 2026-12-11T00:00:00";
        QTest::newRow("station without samples")
            << day << QStringList{"-s", "2"} << "holds no samples of station 2";
        QTest::newRow("to before from")
            << day << QStringList{"--from", "2026-12-10T13:00", "--to", "2026-12-10T12:00"}
            << "is before --from";
        QTest::newRow("time not ISO") << day << QStringList{"--from", "noon"} << "is not a time";
        QTest::newRow("size") << day << QStringList{"--size", "1200"} << "is not WIDTHxHEIGHT";
        QTest::newRow("picture kind")
            << day << QStringList{"-o", "out.jpg"} << "ends in .svg or .png";
        QTest::newRow("two files") << day << QStringList{"other.csv"} << "one CSV file at a time";
    }
    // Exit 1 with a message, and no picture, not even a part of one.
    void badInput() {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, options);
        QFETCH(QString, message);
        QTemporaryDir here;
        const QString csv = here.filePath(QStringLiteral("log.csv"));
        if (!content.isNull()) {
            QFile file(csv);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        for (QString& option : options)
            if (option.endsWith(QLatin1String(".jpg")))
                option = here.filePath(option);
        QProcess process;
        process.setWorkingDirectory(here.path());
        process.start(kProgram, QStringList{QStringLiteral("plot"), csv} + options);
        QVERIFY(process.waitForFinished(60000));
        const QByteArray err = process.readAllStandardError();
        QCOMPARE(process.exitCode(), 1);
        QVERIFY2(QString::fromLocal8Bit(err).contains(message), err.constData());
        QStringList left = QDir(here.path()).entryList(QDir::Files | QDir::Hidden);
        left.removeAll(QStringLiteral("log.csv"));
        QVERIFY2(left.isEmpty(), qPrintable(left.join(QLatin1Char(' '))));
    }
};

QTEST_GUILESS_MAIN(TestPlot)
#include "test_plot.moc"
