#include "plot/chart.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QLocale>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace plot {

namespace {

constexpr std::int64_t kSecond = 1000;
constexpr std::int64_t kMinute = 60 * kSecond;
constexpr std::int64_t kHour = 60 * kMinute;
constexpr std::int64_t kDay = 24 * kHour;

// Room a time label needs beside the next one.
constexpr double kTimeLabelSpacing = 95;

const QColor kInk(0x30, 0x30, 0x30);
const QColor kGrid(0xe4, 0xe4, 0xe4);
const QColor kAxis(0x80, 0x80, 0x80);

QFont font(int pixels, bool bold = false) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QDateTime local(std::int64_t ms) {
    return QDateTime::fromMSecsSinceEpoch(ms);
}

struct TimeTick {
    std::int64_t ms;
    QString label;
    QString date; // under the label where the day changes, and under the first
};

// Ticks at round local times, as many as fit: seconds to weeks.
std::vector<TimeTick> timeTicks(std::int64_t from, std::int64_t to, double width) {
    static constexpr std::array kSteps{
        kSecond,  2 * kSecond, 5 * kSecond, 10 * kSecond, 15 * kSecond, 30 * kSecond,
        kMinute,  2 * kMinute, 5 * kMinute, 10 * kMinute, 15 * kMinute, 30 * kMinute,
        kHour,    2 * kHour,   3 * kHour,   6 * kHour,    12 * kHour,   kDay,
        2 * kDay, 7 * kDay,    14 * kDay,   28 * kDay,    56 * kDay,    112 * kDay};
    const double most = std::max(2.0, width / kTimeLabelSpacing);
    std::int64_t step = kSteps.back();
    for (const std::int64_t candidate : kSteps)
        if (double(to - from) / double(candidate) <= most) {
            step = candidate;
            break;
        }
    const QLocale c = QLocale::c();
    std::vector<TimeTick> ticks;
    if (step < kDay) {
        // Round in local time: the offset at each tick, so a change of summer time keeps the
        // labels on whole hours.
        const auto snap = [step](std::int64_t ms, bool up) {
            const std::int64_t offset = std::int64_t(local(ms).offsetFromUtc()) * kSecond;
            const std::int64_t localMs = ms + offset;
            std::int64_t rounded = localMs / step * step;
            if (localMs < 0 && rounded != localMs)
                rounded -= step;
            if (up && rounded < localMs)
                rounded += step;
            return rounded - offset;
        };
        const QString format =
            step < kMinute ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm");
        QDate lastDate;
        for (std::int64_t t = snap(from, true); t <= to; t = snap(t + step + step / 2, false)) {
            const QDateTime when = local(t);
            TimeTick tick{t, c.toString(when.time(), format), {}};
            if (when.date() != lastDate)
                tick.date = c.toString(when.date(), QStringLiteral("ddd yyyy-MM-dd"));
            lastDate = when.date();
            ticks.push_back(tick);
        }
    } else {
        const int days = int(step / kDay);
        QDate date = local(from).date();
        if (date.startOfDay().toMSecsSinceEpoch() < from)
            date = date.addDays(1);
        int lastYear = 0;
        for (; date.startOfDay().toMSecsSinceEpoch() <= to; date = date.addDays(days)) {
            TimeTick tick{date.startOfDay().toMSecsSinceEpoch(),
                          c.toString(date, QStringLiteral("ddd d MMM")),
                          {}};
            if (date.year() != lastYear)
                tick.date = QString::number(date.year());
            lastYear = date.year();
            ticks.push_back(tick);
        }
    }
    return ticks;
}

// A round step (1, 2, 2.5 or 5 times a power of ten) giving about `count` intervals up to
// `most`.
double roundStep(double most, double count) {
    const double raw = most / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double factor : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (factor * power >= raw)
            return factor * power;
    return 10 * power;
}

// "12 000": thousands set apart, as many decimals as the step has.
QString luxText(double lux, double step) {
    if (step < 1) {
        const int decimals = int(std::ceil(-std::log10(step) - 1e-9));
        return QString::number(lux, 'f', decimals);
    }
    QString digits = QString::number(std::llround(lux));
    for (qsizetype at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QChar(0x2009)); // THIN SPACE
    return digits;
}

QString durationText(std::int64_t ms) {
    const std::int64_t minutes = ms / kMinute;
    if (ms >= kDay)
        return QStringLiteral("%1 d %2 h").arg(ms / kDay).arg(ms % kDay / kHour);
    if (ms >= kHour)
        return QStringLiteral("%1 h %2 min").arg(ms / kHour).arg(minutes % 60);
    if (ms >= kMinute)
        return QStringLiteral("%1 min %2 s").arg(minutes).arg(ms % kMinute / kSecond);
    return QStringLiteral("%1 s").arg(QString::number(double(ms) / kSecond, 'g', 3));
}

QString countText(std::size_t count, const char* one, const char* many) {
    return QStringLiteral("%1 %2").arg(luxText(double(count), 1),
                                       QLatin1String(count == 1 ? one : many));
}

} // namespace

QColor stationColour(int index) {
    // Tableau's colours without its red, which marks failed samples, and its grey, which the
    // axes have.
    static constexpr std::array<QRgb, 8> kColours{0x1f77b4, 0xff7f0e, 0x2ca02c, 0x9467bd,
                                                  0x8c564b, 0xe377c2, 0xbcbd22, 0x17becf};
    const int count = int(kColours.size());
    const QColor colour(kColours[std::size_t(index % count)]);
    // Beyond eight stations the colours come round again, darker.
    return index < count ? colour : colour.darker(100 + 40 * (index / count));
}

QColor failureColour() {
    return QColor(0xd6, 0x27, 0x28);
}

Trace traceOf(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs,
              double topLux, const QRectF& area) {
    Trace trace;
    const double span = double(std::max<std::int64_t>(toMs - fromMs, 1));
    const auto x = [&](std::int64_t ms) {
        return area.left() + double(ms - fromMs) / span * area.width();
    };
    const auto y = [&](double lux) { return area.bottom() - lux / topLux * area.height(); };
    const auto column = [&](std::int64_t ms) {
        return std::int64_t(std::floor(double(ms - fromMs) / span * area.width()));
    };
    const std::int64_t period = typicalPeriodMs(samples);
    const std::int64_t longestPause =
        period > 0 ? 3 * period : std::numeric_limits<std::int64_t>::max();

    std::vector<QPointF> piece;
    // The lowest and highest sample of the pixel column being gathered.
    const Sample* low = nullptr;
    const Sample* high = nullptr;
    std::int64_t gathering = std::numeric_limits<std::int64_t>::min();
    const auto emitColumn = [&] {
        if (!low)
            return;
        const Sample* first = low->ms <= high->ms ? low : high;
        const Sample* second = first == low ? high : low;
        piece.emplace_back(x(first->ms), y(first->lux));
        if (second != first)
            piece.emplace_back(x(second->ms), y(second->lux));
        low = high = nullptr;
    };
    const auto endPiece = [&] {
        emitColumn();
        if (!piece.empty())
            trace.pieces.push_back(std::move(piece));
        piece.clear();
        gathering = std::numeric_limits<std::int64_t>::min();
    };

    std::int64_t lastFailureColumn = std::numeric_limits<std::int64_t>::min();
    const Sample* previous = nullptr;
    for (const Sample& sample : samples) {
        if (previous && sample.ms - previous->ms > longestPause)
            endPiece();
        previous = &sample;
        if (!sample.ok) {
            endPiece();
            const std::int64_t c = column(sample.ms);
            if (c != lastFailureColumn)
                trace.failures.push_back(x(sample.ms));
            lastFailureColumn = c;
            continue;
        }
        const std::int64_t c = column(sample.ms);
        if (c != gathering) {
            emitColumn();
            gathering = c;
        }
        if (!low || sample.lux < low->lux)
            low = &sample;
        if (!high || sample.lux > high->lux)
            high = &sample;
    }
    endPiece();
    return trace;
}

void drawChart(QPainter& painter, const ChartInput& input, QSize size) {
    // What is drawn: its span, its highest reading, its counts.
    std::int64_t from = std::numeric_limits<std::int64_t>::max();
    std::int64_t to = std::numeric_limits<std::int64_t>::min();
    double most = 0;
    std::size_t samples = 0;
    std::size_t failures = 0;
    for (const StationSamples& station : input.stations) {
        if (station.samples.empty())
            continue;
        from = std::min(from, station.samples.front().ms);
        to = std::max(to, station.samples.back().ms);
        samples += station.samples.size();
        for (const Sample& sample : station.samples) {
            if (sample.ok)
                most = std::max(most, sample.lux);
            else
                ++failures;
        }
    }
    const std::int64_t firstMs = from;
    const std::int64_t lastMs = to;
    if (to - from < 2 * kSecond) { // one instant: a minute around it
        from -= 30 * kSecond;
        to += 30 * kSecond;
    }
    const double step = roundStep(most > 0 ? most * 1.02 : 1, 5);
    const double top = std::max(step, std::ceil(most * 1.02 / step) * step);

    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.fillRect(QRect(QPoint(0, 0), size), Qt::white);

    // The room the lux labels need decides where the plot starts.
    const QFont labelFont = font(12);
    const QFontMetricsF labels(labelFont, painter.device());
    double labelWidth = 0;
    for (double lux = 0; lux <= top + step / 2; lux += step)
        labelWidth = std::max(labelWidth, labels.horizontalAdvance(luxText(lux, step)));
    const QRectF area(QPointF(14 + labelWidth + 8, 80),
                      QPointF(size.width() - 24, size.height() - 48));
    const auto x = [&](std::int64_t ms) {
        return area.left() + double(ms - from) / double(to - from) * area.width();
    };
    const auto y = [&](double lux) { return area.bottom() - lux / top * area.height(); };

    // The title: the file or --title, then the span and the counts.
    painter.setPen(kInk);
    painter.setFont(font(17, true));
    painter.drawText(QPointF(14, 26), input.title);
    painter.setFont(font(13));
    const QString range = QStringLiteral("%1 %2 %3 (%4)")
                              .arg(local(firstMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                   QString(QChar(0x2013)),
                                   local(lastMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                   durationText(lastMs - firstMs));
    painter.drawText(QPointF(14, 48), QStringLiteral("%1 %2 %3, %4")
                                          .arg(range, QString(QChar(0x00b7)),
                                               countText(samples, "sample", "samples"),
                                               countText(failures, "failed", "failed")));

    // The legend, on the title's line at the right: a stroke of each station's colour, and the mark
    // of a failed sample when there is one.
    painter.setFont(labelFont);
    double legendRight = size.width() - 24;
    const auto legendEntry = [&](const QString& text, const QPen& pen, bool upright) {
        const double textWidth = labels.horizontalAdvance(text);
        const double left = legendRight - textWidth - 22;
        painter.setPen(pen);
        if (upright)
            painter.drawLine(QPointF(left + 8, 26 - 10), QPointF(left + 8, 26 + 2));
        else
            painter.drawLine(QPointF(left, 22), QPointF(left + 16, 22));
        painter.setPen(kInk);
        painter.drawText(QPointF(left + 22, 26), text);
        legendRight = left - 16;
    };
    if (failures > 0)
        legendEntry(QStringLiteral("failed sample"), QPen(failureColour(), 2), true);
    for (int i = int(input.stations.size()) - 1; i >= 0; --i)
        legendEntry(QStringLiteral("station %1").arg(input.stations[std::size_t(i)].station),
                    QPen(stationColour(i), 2.5), false);

    // The lux axis from 0, with its grid.
    painter.setFont(labelFont);
    for (double lux = 0; lux <= top + step / 2; lux += step) {
        const double at = y(lux);
        painter.setPen(QPen(kGrid, 1));
        painter.drawLine(QPointF(area.left(), at), QPointF(area.right(), at));
        painter.setPen(kInk);
        const QString text = luxText(lux, step);
        painter.drawText(
            QPointF(area.left() - 8 - labels.horizontalAdvance(text), at + labels.capHeight() / 2),
            text);
    }
    painter.drawText(
        QPointF(area.left() - 8 - labels.horizontalAdvance(QStringLiteral("lx")), area.top() - 14),
        QStringLiteral("lx"));

    // The time axis in local time, with its grid; a label is kept inside the picture.
    const auto centred = [&](const QString& text, double at) {
        const double width = labels.horizontalAdvance(text);
        return std::clamp(at - width / 2, 4.0, std::max(4.0, size.width() - 4 - width));
    };
    for (const TimeTick& tick : timeTicks(from, to, area.width())) {
        const double at = x(tick.ms);
        painter.setPen(QPen(kGrid, 1));
        painter.drawLine(QPointF(at, area.top()), QPointF(at, area.bottom()));
        painter.setPen(QPen(kAxis, 1));
        painter.drawLine(QPointF(at, area.bottom()), QPointF(at, area.bottom() + 5));
        painter.setPen(kInk);
        painter.drawText(QPointF(centred(tick.label, at), area.bottom() + 8 + labels.ascent()),
                         tick.label);
        if (!tick.date.isEmpty())
            painter.drawText(QPointF(centred(tick.date, at),
                                     area.bottom() + 8 + labels.ascent() + labels.height()),
                             tick.date);
    }
    painter.setPen(QPen(kAxis, 1));
    painter.drawLine(area.bottomLeft(), area.bottomRight());
    painter.drawLine(area.bottomLeft(), area.topLeft());

    // The lines, clipped to the plot; then the failed samples across the time axis.
    std::vector<Trace> traces;
    for (const StationSamples& station : input.stations)
        traces.push_back(traceOf(station.samples, from, to, top, area));
    painter.save();
    painter.setClipRect(area.adjusted(-2, -2, 2, 2));
    for (std::size_t i = 0; i < traces.size(); ++i) {
        const QColor colour = stationColour(int(i));
        painter.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(colour);
        for (const std::vector<QPointF>& piece : traces[i].pieces) {
            if (piece.size() == 1)
                painter.drawEllipse(piece.front(), 1.8, 1.8);
            else
                painter.drawPolyline(piece.data(), int(piece.size()));
        }
    }
    painter.restore();
    painter.setPen(QPen(failureColour(), 2));
    for (const Trace& trace : traces)
        for (const double at : trace.failures)
            painter.drawLine(QPointF(at, area.bottom() - 5), QPointF(at, area.bottom() + 5));
}

} // namespace plot
