// poll: the measurement again and again, with its time, latency and status.

#include "cli/measure.h"
#include "cli/stopsignal.h"
#include "cli/verbs.h"

#include <QFile>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kLongestPeriodMs = 24LL * 3600 * 1000;
constexpr long long kMostSamples = 1000000000;
constexpr double kLongestDurationSeconds = 366.0 * 24 * 3600;

// What a poll has seen so far, for its summary.
struct PollTally {
    int sent = 0;
    int answered = 0;
    int timeouts = 0;
    int badReplies = 0;
    int exceptions = 0;
    std::vector<double> latencies; // of the answered samples
    std::optional<Status> lastFailure;

    void add(const Result& result) {
        ++sent;
        switch (result.status) {
        case Status::Ok:
            ++answered;
            latencies.push_back(result.latencyMs);
            return;
        case Status::Timeout:
            ++timeouts;
            break;
        case Status::BadReply:
            ++badReplies;
            break;
        case Status::Exception:
            ++exceptions;
            break;
        case Status::PortLost:
            break;
        }
        lastFailure = result.status;
    }

    // As ping ends: what was sent and answered, then the latency's spread.
    QStringList summary(const Line& line, int station) const {
        QStringList lines;
        lines << QStringLiteral("--- %1 at %2 baud, station %3 ---")
                     .arg(line.port)
                     .arg(line.baud)
                     .arg(station);
        const int lost = sent - answered;
        lines << QStringLiteral("%1 sent, %2 answered, %3 timeouts, %4 bad replies, %5 "
                                "exceptions, %6% unanswered")
                     .arg(sent)
                     .arg(answered)
                     .arg(timeouts)
                     .arg(badReplies)
                     .arg(exceptions)
                     .arg(sent ? std::round(100.0 * lost / sent) : 0.0);
        if (!latencies.empty()) {
            std::vector<double> sorted = latencies;
            std::sort(sorted.begin(), sorted.end());
            double sum = 0;
            for (const double ms : sorted)
                sum += ms;
            const auto rank = static_cast<std::size_t>(std::ceil(0.95 * double(sorted.size())));
            const double p95 = sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
            lines << QStringLiteral("latency min/avg/p95/max = %1/%2/%3/%4 ms")
                         .arg(sorted.front(), 0, 'f', 1)
                         .arg(sum / double(sorted.size()), 0, 'f', 1)
                         .arg(p95, 0, 'f', 1)
                         .arg(sorted.back(), 0, 'f', 1);
        }
        return lines;
    }

    int exitStatus() const {
        if (answered > 0 || !lastFailure)
            return kExitOk;
        return cli::exitStatus(*lastFailure);
    }
};

} // namespace

int pollCommand(Context& context) {
    const auto text = [&](const char* name) { return context.value(QLatin1String(name)); };
    const auto given = [&](const char* name) { return context.isSet(QLatin1String(name)); };
    if (const int status = context.noArguments())
        return status;

    const auto period = context.wholeOption(QStringLiteral("period"), 0, kLongestPeriodMs, 1000,
                                            QStringLiteral("a time in milliseconds"));
    if (!period)
        return kExitUsage;
    if (given("samples") && given("duration"))
        return context.usage(QStringLiteral("give --samples or --duration, not both"));
    const auto samples = context.wholeOption(QStringLiteral("samples"), 1, kMostSamples, 0,
                                             QStringLiteral("a count of samples"));
    if (!samples)
        return kExitUsage;
    std::optional<Clock::duration> duration;
    if (given("duration")) {
        bool ok = false;
        const double seconds = text("duration").toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > kLongestDurationSeconds)
            return context.usage(QStringLiteral("--duration %1 is not a time in seconds above 0")
                                     .arg(text("duration")));
        duration =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    // The CSV file is opened before the port, so a file that cannot be written sends nothing.
    const bool csvToOutput = given("csv") && text("csv") == QLatin1String("-");
    if (csvToOutput && context.out().json())
        return context.usage(QStringLiteral("--csv - and --json both want standard output: "
                                            "give --csv a file"));
    QFile csvFile;
    if (given("csv") && !csvToOutput) {
        csvFile.setFileName(text("csv"));
        if (!csvFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            return context.usage(
                QStringLiteral("cannot write %1: %2").arg(text("csv"), csvFile.errorString()));
    }
    const auto writeCsv = [&](const QString& line) {
        if (csvToOutput) {
            context.out().data(line);
        } else if (csvFile.isOpen()) {
            csvFile.write(line.toUtf8() + '\n');
            csvFile.flush(); // a killed run keeps every sample taken
        }
    };
    writeCsv(QStringLiteral("time,station,lux,latency_ms,status"));

    if (const int status = context.openPort())
        return status;

    const int station = context.common().station;
    const protocol::Frame request = measurementRequest(station, 1);
    const StopSignal stop;
    PollTally tally;
    const Clock::time_point start = Clock::now();
    Clock::time_point due = start;
    std::optional<Result> lost;
    QString time;
    // A sample whose request has gone out is always completed, even when a stop came meanwhile.
    bool sentAhead = false;
    while (sentAhead || !stop.requested()) {
        if (!sentAhead) {
            if (duration && Clock::now() - start >= *duration)
                break;
            time = isoTimeNow();
        }
        const Result result = context.engine().transact(request, protocol::ReplyKind::Registers);
        tally.add(result);
        sentAhead = false;

        // The next sample is due one period after this one started; when this one took longer,
        // it starts at once, and the schedule moves on from there rather than catching up.
        const bool last =
            result.status == Status::PortLost || (*samples > 0 && tally.sent >= *samples);
        due += std::chrono::milliseconds(*period);
        Clock::time_point now = Clock::now();
        if (due < now)
            due = now;
        // A sample due at once is asked for before this one is printed: its answer crosses the
        // line meanwhile.
        QString nextTime;
        if (!last && due <= now && !stop.requested() && !(duration && now - start >= *duration)) {
            nextTime = isoTimeNow();
            context.engine().sendAhead(request, protocol::ReplyKind::Registers);
            sentAhead = true;
        }

        const bool ok = result.status == Status::Ok;
        const long long lux = luxOf(result);
        const QString luxText = lux >= 0 ? QString::number(lux) : QString();
        const QString latencyText =
            ok ? QString::number(roundedMillis(result.latencyMs), 'f', 1) : QString();
        if (csvToOutput || csvFile.isOpen())
            writeCsv(QStringLiteral("%1,%2,%3,%4,%5")
                         .arg(time)
                         .arg(station)
                         .arg(luxText, latencyText, statusName(result.status)));
        if (context.out().json()) {
            QJsonObject object = context.record(station, time);
            object[QStringLiteral("status")] = statusName(result.status);
            if (ok) {
                object[QStringLiteral("lux")] = luxJson(lux);
                object[QStringLiteral("registers")] = registerArray(result.registers);
                object[QStringLiteral("latency_ms")] = roundedMillis(result.latencyMs);
            } else {
                object[QStringLiteral("error")] =
                    context.failureText(result, station, kReadOfRegister0);
                if (result.status == Status::Exception)
                    object[QStringLiteral("exception")] = result.exceptionCode;
            }
            context.out().object(object);
        } else if (!csvToOutput) {
            context.out().data(
                QStringLiteral("%1  %2  %3  %4")
                    .arg(time, lux >= 0 ? luxText + QStringLiteral(" lx") : QStringLiteral("-"),
                         ok ? latencyText + QStringLiteral(" ms") : QStringLiteral("-"),
                         statusName(result.status)));
        }
        if (result.status == Status::PortLost) {
            lost = result;
            break;
        }
        if (last)
            break;
        if (sentAhead) {
            time = nextTime;
            continue;
        }

        now = Clock::now();
        Clock::time_point until = due;
        if (duration)
            until = std::min(until, start + *duration);
        if (until > now && stop.wait(std::chrono::ceil<std::chrono::milliseconds>(until - now)))
            break;
    }

    if (lost)
        context.out().message(QStringLiteral("qf7320: %1. Check that the adapter is still "
                                             "plugged in, then start again")
                                  .arg(context.failureText(*lost, station, kReadOfRegister0)));
    for (const QString& line : tally.summary(context.common().line, station))
        context.out().message(line);
    return lost ? kExitPort : tally.exitStatus();
}

} // namespace cli
