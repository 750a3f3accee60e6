#include "plot/pollcsv.h"

#include <QDateTime>

#include <algorithm>
#include <charconv>
#include <map>
#include <string_view>

namespace plot {

namespace {

constexpr int kMessagesKept = 10;
constexpr int kHighestStation = 247;

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The digits at text[at, at + count) as a number; nothing when one is not a digit.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// The form poll writes, with an offset or Z, parsed without QDateTime: a week of rows at one a
// second is 605,000 of them.
std::optional<std::int64_t> fastTime(std::string_view t) {
    const auto year = digits(t, 0, 4);
    const auto month = digits(t, 5, 2);
    const auto day = digits(t, 8, 2);
    const auto hour = digits(t, 11, 2);
    const auto minute = digits(t, 14, 2);
    const auto second = digits(t, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || t[4] != '-' || t[7] != '-' ||
        (t[10] != 'T' && t[10] != ' ') || t[13] != ':' || t[16] != ':' || *month < 1 ||
        *month > 12 || *day < 1 || *day > 31 || *hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;
    std::size_t at = 19;
    int millis = 0;
    if (at < t.size() && t[at] == '.') {
        ++at;
        int scale = 100;
        const std::size_t first = at;
        while (at < t.size() && t[at] >= '0' && t[at] <= '9') {
            millis += (t[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == first)
            return std::nullopt;
    }
    int offsetMinutes = 0;
    if (at < t.size() && t[at] == 'Z') {
        ++at;
    } else if (at < t.size() && (t[at] == '+' || t[at] == '-')) {
        const int sign = t[at] == '-' ? -1 : 1;
        const auto oh = digits(t, at + 1, 2);
        std::size_t minutesAt = at + 3;
        if (minutesAt < t.size() && t[minutesAt] == ':')
            ++minutesAt;
        const auto om = digits(t, minutesAt, 2);
        if (!oh || !om || *oh > 23 || *om > 59)
            return std::nullopt;
        offsetMinutes = sign * (*oh * 60 + *om);
        at = minutesAt + 2;
    } else {
        return std::nullopt; // local time: left to QDateTime
    }
    if (at != t.size())
        return std::nullopt;
    const std::int64_t days = daysFromCivil(*year, unsigned(*month), unsigned(*day));
    const std::int64_t seconds =
        days * 86400 + *hour * 3600 + *minute * 60 + *second - offsetMinutes * 60;
    return seconds * 1000 + millis;
}

template <typename T> std::optional<T> number(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool isStatusWord(std::string_view status) {
    return !status.empty() && std::all_of(status.begin(), status.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || c == '-';
    });
}

// The statuses poll writes; a cut-off last line must end in one of them to be taken.
bool isKnownStatus(std::string_view status) {
    return status == "ok" || status == "timeout" || status == "bad-reply" ||
           status == "exception" || status == "port-error";
}

struct Row {
    int station = 0;
    Sample sample;
};

// One row, or why it is not one.
std::optional<Row> parseRow(std::string_view line, QString& why) {
    std::string_view fields[5];
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = line.find(',', start);
        if (count == 5) {
            why = QStringLiteral("more than 5 fields");
            return std::nullopt;
        }
        fields[count++] =
            line.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    if (count != 5) {
        why = QStringLiteral("%1 fields, not 5").arg(count);
        return std::nullopt;
    }
    Row row;
    std::optional<std::int64_t> time = fastTime(fields[0]);
    if (!time)
        time = parseTime(QString::fromUtf8(fields[0].data(), qsizetype(fields[0].size())));
    if (!time) {
        why = QStringLiteral("the time '%1' is not ISO 8601")
                  .arg(QString::fromUtf8(fields[0].data(), qsizetype(fields[0].size())));
        return std::nullopt;
    }
    row.sample.ms = *time;
    const auto station = number<int>(fields[1]);
    if (!station || *station < 1 || *station > kHighestStation) {
        why = QStringLiteral("the station '%1' is not 1-247")
                  .arg(QString::fromUtf8(fields[1].data(), qsizetype(fields[1].size())));
        return std::nullopt;
    }
    row.station = *station;
    const std::string_view status = fields[4];
    if (!isStatusWord(status)) {
        why = QStringLiteral("the status '%1' is not a word")
                  .arg(QString::fromUtf8(status.data(), qsizetype(status.size())));
        return std::nullopt;
    }
    row.sample.ok = status == "ok";
    if (row.sample.ok) {
        const auto lux = number<double>(fields[2]);
        if (!lux || *lux < 0) {
            why = QStringLiteral("the illuminance '%1' of an answered sample is not a number")
                      .arg(QString::fromUtf8(fields[2].data(), qsizetype(fields[2].size())));
            return std::nullopt;
        }
        row.sample.lux = *lux;
    }
    return row;
}

} // namespace

std::optional<std::int64_t> parseTime(const QString& text) {
    const QByteArray latin = text.toLatin1();
    if (auto fast = fastTime(std::string_view(latin.constData(), std::size_t(latin.size()))))
        return fast;
    QString iso = text;
    if (iso.size() > 10 && iso.at(10) == QLatin1Char(' '))
        iso[10] = QLatin1Char('T');
    QDateTime time = QDateTime::fromString(iso, Qt::ISODateWithMs);
    if (!time.isValid()) {
        // QDate reads the first ten characters and ignores the rest: a date alone is ten long.
        if (iso.size() != 10)
            return std::nullopt;
        const QDate date = QDate::fromString(iso, Qt::ISODate);
        if (!date.isValid())
            return std::nullopt;
        time = date.startOfDay();
    }
    return time.toMSecsSinceEpoch();
}

std::int64_t typicalPeriodMs(const std::vector<Sample>& samples) {
    if (samples.size() < 2)
        return 0;
    std::vector<std::int64_t> intervals;
    intervals.reserve(samples.size() - 1);
    for (std::size_t i = 1; i < samples.size(); ++i)
        intervals.push_back(samples[i].ms - samples[i - 1].ms);
    const auto middle = intervals.begin() + std::ptrdiff_t(intervals.size() / 2);
    std::nth_element(intervals.begin(), middle, intervals.end());
    return *middle;
}

PollLog readPollCsv(const QByteArray& content) {
    PollLog log;
    const std::string_view text(content.constData(), std::size_t(content.size()));
    if (text.empty()) {
        log.error = QStringLiteral("it is empty");
        return log;
    }
    std::size_t lineEnd = text.find('\n');
    std::string_view header = text.substr(0, lineEnd);
    if (!header.empty() && header.back() == '\r')
        header.remove_suffix(1);
    if (header != kPollCsvHeader) {
        log.error = QStringLiteral("it is not a poll CSV: its first line is '%1', not '%2'")
                        .arg(QString::fromUtf8(header.data(),
                                               qsizetype(std::min<std::size_t>(header.size(), 80))),
                             QLatin1String(kPollCsvHeader));
        return log;
    }

    std::map<int, std::vector<Sample>> byStation;
    int lineNumber = 1;
    while (lineEnd != std::string_view::npos) {
        const std::size_t start = lineEnd + 1;
        lineEnd = text.find('\n', start);
        ++lineNumber;
        std::string_view line = text.substr(
            start, lineEnd == std::string_view::npos ? std::string_view::npos : lineEnd - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const bool unfinished = lineEnd == std::string_view::npos;
        if (line.empty())
            continue;
        QString why;
        const std::optional<Row> row = parseRow(line, why);
        if (unfinished) {
            // A file still being written ends in the part of a row written so far.
            const std::string_view status = line.substr(line.rfind(',') + 1);
            if (!row || !isKnownStatus(status))
                break;
        } else if (!row) {
            if (log.badRowMessages.size() < kMessagesKept)
                log.badRowMessages << QStringLiteral("line %1: %2").arg(lineNumber).arg(why);
            ++log.badRows;
            continue;
        }
        byStation[row->station].push_back(row->sample);
    }

    for (auto& [station, samples] : byStation) {
        // poll writes in time order; a file put together from several may not be.
        if (!std::is_sorted(samples.begin(), samples.end(),
                            [](const Sample& a, const Sample& b) { return a.ms < b.ms; }))
            std::stable_sort(samples.begin(), samples.end(),
                             [](const Sample& a, const Sample& b) { return a.ms < b.ms; });
        log.stations.push_back({station, std::move(samples)});
    }
    return log;
}

} // namespace plot
