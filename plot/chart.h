#pragma once

// The picture of a logged day: illuminance against local time, one line per station, broken
// where samples failed or stopped, drawn with QPainter on whatever device it is given (a QImage
// for PNG, a QSvgGenerator for SVG).

#include "plot/pollcsv.h"

#include <QColor>
#include <QPainter>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

namespace plot {

// The colour of the index-th station drawn (lowest station first), and of the marks of failed
// samples on the time axis, which no station has.
QColor stationColour(int index);
QColor failureColour();

struct ChartInput {
    std::vector<StationSamples> stations; // only what is to be drawn, lowest station first
    QString title;                        // the first line of the title: the file's name or --title
};

// Draws the chart filling a canvas of `size` pixels.
void drawChart(QPainter& painter, const ChartInput& input, QSize size);

// One station's line as pieces to draw, in canvas coordinates: a piece ends where a sample
// failed or where no row came for more than three typical periods. Each piece holds at most the
// lowest and the highest point of every pixel column, in time order, so a spike survives.
struct Trace {
    std::vector<std::vector<QPointF>> pieces;
    std::vector<double> failures; // x of the failed samples, one per pixel column
};
Trace traceOf(const std::vector<Sample>& samples, std::int64_t fromMs, std::int64_t toMs,
              double topLux, const QRectF& area);

} // namespace plot
