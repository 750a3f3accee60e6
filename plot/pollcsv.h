#pragma once

// A file written by `qf7320 poll --csv`, read back: its rows by station, in time order, with
// the rows that did not parse named by their line numbers. Plain Qt Core, so a test can call it.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace plot {

// The header every poll CSV starts with.
inline constexpr char kPollCsvHeader[] = "time,station,lux,latency_ms,status";

struct Sample {
    std::int64_t ms = 0; // milliseconds since 1970-01-01T00:00Z
    double lux = 0;      // meaningful only when ok
    bool ok = false;     // status "ok"; anything else is a failed sample
};

struct StationSamples {
    int station = 0;
    std::vector<Sample> samples; // in time order
};

struct PollLog {
    std::vector<StationSamples> stations; // lowest station first
    int badRows = 0;
    QStringList badRowMessages; // "line 7: ...", the first few of them
    QString error;              // set when the file is not a poll CSV at all
};

// Reads the content of a poll CSV. A last line without its line end (a file still being
// written) is taken only when it is complete; otherwise it is left out without a word.
PollLog readPollCsv(const QByteArray& content);

// ISO 8601 date and time, "2026-12-10T14:03:21.123+01:00", "...Z", seconds and fraction
// optional; without an offset it is local time. A date alone is its local midnight.
std::optional<std::int64_t> parseTime(const QString& text);

// The interval between a station's consecutive rows that most rows keep: the median.
std::int64_t typicalPeriodMs(const std::vector<Sample>& samples);

} // namespace plot
