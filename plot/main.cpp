// qf7320-plot, run as `qf7320 plot`: a picture of what `qf7320 poll --csv` logged. A program of
// its own, so that the painting and SVG libraries are loaded by this command alone.

#include "plot/chart.h"
#include "plot/pollcsv.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSvgGenerator>

#include <cstdio>
#include <set>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kSmallestSide = 200;
constexpr int kLargestSide = 8000;

int fail(const QString& text) {
    std::fprintf(stderr, "qf7320 plot: %s\n", text.toLocal8Bit().constData());
    return kExitFailed;
}

// "1,3,5-7" within 1-247.
std::optional<std::set<int>> stationList(const QString& text) {
    static const QRegularExpression item(QStringLiteral("^([0-9]{1,3})(?:-([0-9]{1,3}))?$"));
    std::set<int> stations;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QRegularExpressionMatch match = item.match(part);
        if (!match.hasMatch())
            return std::nullopt;
        const int from = match.captured(1).toInt();
        const int to = match.captured(2).isEmpty() ? from : match.captured(2).toInt();
        if (from < 1 || to > 247 || to < from)
            return std::nullopt;
        for (int station = from; station <= to; ++station)
            stations.insert(station);
    }
    return stations;
}

QString localText(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(Qt::ISODate);
}

// Paints the chart into `out`, replacing it only once the picture is whole.
bool writePicture(const QString& out, bool svg, QSize size, const plot::ChartInput& input,
                  QString& error) {
    QSaveFile file(out);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    bool written = true;
    if (svg) {
        QSvgGenerator generator;
        generator.setOutputDevice(&file);
        generator.setSize(size);
        generator.setViewBox(QRect(QPoint(0, 0), size));
        generator.setResolution(96); // a pixel of the picture is a CSS pixel: 1200 px wide

        generator.setTitle(input.title);
        generator.setDescription(QStringLiteral("Illuminance logged by qf7320 poll"));
        QPainter painter;
        written = painter.begin(&generator);
        if (written) {
            plot::drawChart(painter, input, size);
            written = painter.end();
        }
    } else {
        QImage image(size, QImage::Format_RGB32);
        if (image.isNull()) {
            file.cancelWriting();
            error = QStringLiteral("no memory for a picture of %1x%2 pixels")
                        .arg(size.width())
                        .arg(size.height());
            return false;
        }
        QPainter painter(&image);
        plot::drawChart(painter, input, size);
        painter.end();
        written = image.save(&file, "PNG");
    }
    if (!written) {
        file.cancelWriting();
        error = file.errorString().isEmpty() ? QStringLiteral("the picture could not be drawn")
                                             : file.errorString();
        return false;
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

// Qt's own notices (such as the platform's runtime directory being unset) say nothing about the
// picture; the program's messages go to standard error by themselves.
void quietQt(QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "qf7320 plot: %s\n", text.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char* argv[]) {
    // The chart is drawn into a file, never shown: no display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quietQt);
    QGuiApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Draws the illuminance a qf7320 poll --csv file holds against local time."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("the poll CSV"));
    parser.addOptions({
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("the picture, OUT.svg or OUT.png (default: FILE with .svg)"),
         QStringLiteral("OUT")},
        {{QStringLiteral("s"), QStringLiteral("station")},
         QStringLiteral("only these stations, such as 1,3,5-7"),
         QStringLiteral("LIST")},
        {QStringLiteral("from"), QStringLiteral("only samples at or after TIME (ISO 8601)"),
         QStringLiteral("TIME")},
        {QStringLiteral("to"), QStringLiteral("only samples at or before TIME (ISO 8601)"),
         QStringLiteral("TIME")},
        {QStringLiteral("title"), QStringLiteral("the title (default: the file's name)"),
         QStringLiteral("TEXT")},
        {QStringLiteral("size"), QStringLiteral("the picture's size in pixels (default 1200x600)"),
         QStringLiteral("WxH")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("show this help")},
        {QStringLiteral("version"), QStringLiteral("the program's name and version")},
    });
    if (!parser.parse(QCoreApplication::arguments()))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return kExitOk;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::puts("qf7320-plot " QF7320_VERSION);
        return kExitOk;
    }
    const QStringList files = parser.positionalArguments();
    if (files.size() != 1)
        return fail(files.isEmpty() ? QStringLiteral("give the CSV file that poll --csv wrote")
                                    : QStringLiteral("one CSV file at a time, not %1")
                                          .arg(files.join(QLatin1Char(' '))));
    const QString csv = files.first();

    // Everything given is checked before the file is read.
    std::optional<std::int64_t> from;
    std::optional<std::int64_t> to;
    for (auto [name, bound] : {std::pair{"from", &from}, std::pair{"to", &to}}) {
        const QString option = QLatin1String(name);
        if (!parser.isSet(option))
            continue;
        *bound = plot::parseTime(parser.value(option));
        if (!*bound)
            return fail(QStringLiteral("--%1 %2 is not a time such as 2026-12-10T14:00, "
                                       "2026-12-10T14:00:00+01:00 or 2026-12-10")
                            .arg(option, parser.value(option)));
    }
    if (from && to && *to < *from)
        return fail(
            QStringLiteral("--to %1 is before --from %2")
                .arg(parser.value(QStringLiteral("to")), parser.value(QStringLiteral("from"))));
    std::optional<std::set<int>> stations;
    if (parser.isSet(QStringLiteral("station"))) {
        stations = stationList(parser.value(QStringLiteral("station")));
        if (!stations)
            return fail(QStringLiteral("--station %1 is not a list of stations such as 1,3,5-7: "
                                       "1-247")
                            .arg(parser.value(QStringLiteral("station"))));
    }
    QSize size(1200, 600);
    if (parser.isSet(QStringLiteral("size"))) {
        static const QRegularExpression wxh(QStringLiteral("^([0-9]{1,5})x([0-9]{1,5})$"));
        const QRegularExpressionMatch match = wxh.match(parser.value(QStringLiteral("size")));
        if (match.hasMatch())
            size = QSize(match.captured(1).toInt(), match.captured(2).toInt());
        if (!match.hasMatch() || size.width() < kSmallestSide || size.height() < kSmallestSide ||
            size.width() > kLargestSide || size.height() > kLargestSide)
            return fail(QStringLiteral("--size %1 is not WIDTHxHEIGHT in pixels, each %2-%3")
                            .arg(parser.value(QStringLiteral("size")))
                            .arg(kSmallestSide)
                            .arg(kLargestSide));
    }
    QString out = parser.value(QStringLiteral("output"));
    if (out.isEmpty()) {
        const QFileInfo info(csv);
        out = info.path() + QLatin1Char('/') +
              (info.suffix().compare(QLatin1String("csv"), Qt::CaseInsensitive) == 0
                   ? info.completeBaseName()
                   : info.fileName()) +
              QStringLiteral(".svg");
        if (info.path() == QLatin1String("."))
            out = QFileInfo(out).fileName();
    }
    const QString suffix = QFileInfo(out).suffix().toLower();
    if (suffix != QLatin1String("svg") && suffix != QLatin1String("png"))
        return fail(QStringLiteral("%1: the picture's name ends in .svg or .png").arg(out));

    // The log, with every row that does not parse named and left out.
    QFile file(csv);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(csv, file.errorString()));
    plot::PollLog log = plot::readPollCsv(file.readAll());
    if (!log.error.isEmpty())
        return fail(QStringLiteral("%1: %2").arg(csv, log.error));
    for (const QString& message : log.badRowMessages)
        std::fprintf(stderr, "qf7320 plot: %s: %s, skipped\n", csv.toLocal8Bit().constData(),
                     message.toLocal8Bit().constData());
    if (log.badRows > log.badRowMessages.size())
        std::fprintf(stderr, "qf7320 plot: %s: %d more rows that do not parse, skipped\n",
                     csv.toLocal8Bit().constData(), int(log.badRows - log.badRowMessages.size()));

    // What is to be drawn: the stations and the time range asked for.
    plot::ChartInput input;
    input.title = parser.isSet(QStringLiteral("title")) ? parser.value(QStringLiteral("title"))
                                                        : QFileInfo(csv).fileName();
    for (plot::StationSamples& station : log.stations) {
        if (stations && !stations->contains(station.station))
            continue;
        std::erase_if(station.samples, [&](const plot::Sample& sample) {
            return (from && sample.ms < *from) || (to && sample.ms > *to);
        });
        if (!station.samples.empty())
            input.stations.push_back(std::move(station));
    }
    if (input.stations.empty()) {
        QString what = QStringLiteral("%1 holds no samples").arg(csv);
        if (stations)
            what += QStringLiteral(" of station %1").arg(parser.value(QStringLiteral("station")));
        if (from || to)
            what += QStringLiteral(" between %1 and %2")
                        .arg(from ? localText(*from) : QStringLiteral("its start"),
                             to ? localText(*to) : QStringLiteral("its end"));
        return fail(what);
    }

    QString error;
    if (!writePicture(out, suffix == QLatin1String("svg"), size, input, error))
        return fail(QStringLiteral("cannot write %1: %2").arg(out, error));
    std::puts(out.toLocal8Bit().constData());
    return kExitOk;
}
