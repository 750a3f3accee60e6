// poll: the measurement of every station again and again, with its time, latency and status: a
// logger that keeps its period through dead stations, a lost port and a failing disk.

#include "cli/csvlog.h"
#include "cli/latency.h"
#include "cli/measure.h"
#include "cli/pollschedule.h"
#include "cli/publish/loader.h"
#include "cli/stopsignal.h"
#include "cli/verbs.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <memory>

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kLongestPeriodMs = 24LL * 3600 * 1000;
constexpr long long kMostSamples = 1000000000;
constexpr double kLongestDurationSeconds = 366.0 * 24 * 3600;
const QByteArray kCsvHeader = QByteArrayLiteral("time,station,lux,latency_ms,status");
const QString kSkipped = QStringLiteral("skipped");

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// What a poll has seen of one station, for its summary.
struct StationTally {
    int sent = 0;
    int answered = 0;
    int timeouts = 0;
    int badReplies = 0;
    int exceptions = 0;
    int skipped = 0;          // cycles it was not asked in, backed off
    int portErrors = 0;       // samples due while the port was gone
    LatencyHistogram latency; // of the answered samples
    std::optional<Status> lastFailure;

    void add(const Result& result) {
        ++sent;
        switch (result.status) {
        case Status::Ok:
            ++answered;
            latency.add(result.latencyMs);
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
            ++portErrors;
            break;
        }
        lastFailure = result.status;
    }

    // As ping ends: what was sent and answered, then the latency's spread.
    QStringList summary(const Line& line, int station) const {
        QStringList lines;
        // A Modbus TCP gateway's serial rate is its own, not known here.
        lines << (line.kind == transport::Kind::ModbusTcp
                      ? QStringLiteral("--- %1, station %2 ---").arg(qtext(line.port)).arg(station)
                      : QStringLiteral("--- %1 at %2 baud, station %3 ---")
                            .arg(qtext(line.port))
                            .arg(line.baud)
                            .arg(station));
        const int lost = sent - answered;
        lines << QStringLiteral("%1 sent, %2 answered, %3 timeouts, %4 bad replies, %5 "
                                "exceptions, %6% unanswered")
                     .arg(sent)
                     .arg(answered)
                     .arg(timeouts)
                     .arg(badReplies)
                     .arg(exceptions)
                     .arg(sent ? std::round(100.0 * lost / sent) : 0.0);
        if (skipped || portErrors)
            lines << QStringLiteral("%1 skipped while backed off, %2 port errors")
                         .arg(skipped)
                         .arg(portErrors);
        if (latency.count())
            lines << QStringLiteral("latency min/avg/p95/max = %1/%2/%3/%4 ms")
                         .arg(latency.min(), 0, 'f', 1)
                         .arg(latency.mean(), 0, 'f', 1)
                         .arg(latency.percentile(0.95), 0, 'f', 1)
                         .arg(latency.max(), 0, 'f', 1);
        return lines;
    }
};

struct Station {
    int address = 1;
    protocol::Frame request{};
    StationBackoff backoff;
    StationTally tally;
};

// One row of the log: a station's sample in a cycle.
struct Row {
    QString time;
    const Station* station = nullptr;
    const Result* result = nullptr; // the transaction, when one was made
    bool skipped = false;           // not asked in this cycle: backed off
    // Otherwise the port was gone: no transaction could be made.
};

struct PollOptions {
    long long periodMs = 1000;
    long long samples = 0; // cycles; 0: no limit
    std::optional<Clock::duration> duration;
    bool csvToOutput = false;
    QString csvPath;
    bool reconnect = true;
};

// Opens the line the poll talks on, again after it was lost: the one place a poll opens its port
// after the start.
// The same endpoint as at the start: the serial device (found again through its by-id name or
// COMn link), or a new connection to the same server.
bool reopenLine(Context& context) {
    return context.engine().open(context.common().line);
}

class Poll {
public:
    Poll(Context& context, const PollOptions& options) : context_(context), options_(options) {
        for (const int address : context.common().stations)
            stations_.push_back({address, measurementRequest(address, 1), {}, {}});
    }

    void setCsv(std::unique_ptr<CsvLog> csv) { csv_ = std::move(csv); }
    void setPublisher(std::unique_ptr<publish::Publisher> publisher) {
        publisher_ = std::move(publisher);
    }
    int run();

private:
    struct Plan {
        long long cycle = 0;
        Clock::time_point start;
        std::vector<char> asks; // per station: asked in this cycle
    };

    Plan plan(long long cycle, Clock::time_point start) const;
    std::optional<std::size_t> nextAsked(const Plan& plan, std::size_t after) const;
    bool ending(long long cycle, Clock::time_point now) const;
    void write(const Row& row);
    void portLost(const Result& result, Clock::time_point now);
    void tryReopen(Clock::time_point now);
    int finish();

    Context& context_;
    PollOptions options_;
    std::vector<Station> stations_;
    std::unique_ptr<CsvLog> csv_;
    std::unique_ptr<publish::Publisher> publisher_;
    StopSignal stop_;
    std::optional<HangupSignal> hangup_;
    Clock::time_point start_;

    // The port, while it is gone: when it went, and when it is tried again.
    bool portGone_ = false;
    bool lostForGood_ = false; // gone with --no-reconnect
    std::optional<Result> lostResult_;
    Clock::time_point goneSince_;
    ReopenBackoff reopen_;
    int losses_ = 0;
    double secondsLost_ = 0;
};

Poll::Plan Poll::plan(long long cycle, Clock::time_point start) const {
    Plan plan{cycle, start, {}};
    for (const Station& station : stations_)
        plan.asks.push_back(station.backoff.due(cycle, start) ? 1 : 0);
    return plan;
}

std::optional<std::size_t> Poll::nextAsked(const Plan& plan, std::size_t after) const {
    for (std::size_t i = after; i < plan.asks.size(); ++i)
        if (plan.asks[i])
            return i;
    return std::nullopt;
}

bool Poll::ending(long long cycle, Clock::time_point now) const {
    return stop_.requested() || (options_.samples > 0 && cycle >= options_.samples) ||
           (options_.duration && now - start_ >= *options_.duration);
}

int Poll::run() {
    hangup_.emplace();
    start_ = Clock::now();
    Clock::time_point due = start_;
    long long cycle = 0;
    std::optional<Plan> next; // the coming cycle, planned early when its request went out ahead
    // A station whose request has gone out ahead, and the time its sample was taken. A sample
    // whose request has gone out is always completed, even when a stop came meanwhile.
    constexpr std::size_t kNone = std::size_t(-1);
    std::size_t ahead = kNone;
    QString aheadTime;

    while (next || !ending(cycle, Clock::now())) {
        ++cycle;
        const Plan current = next ? *std::exchange(next, std::nullopt) : plan(cycle, Clock::now());
        // SIGHUP (logrotate, systemctl reload) reopens the CSV file, and never ends a poll.
        if (hangup_->take() && csv_)
            csv_->reopen();

        for (std::size_t i = 0; i < stations_.size(); ++i) {
            Station& station = stations_[i];
            const bool sentAhead = ahead == i;
            const QString time = sentAhead ? aheadTime : isoTimeNow();
            if (sentAhead)
                ahead = kNone;
            else if (stop_.requested())
                break;
            if (portGone_ && !lostForGood_) {
                ++station.tally.portErrors;
                write({time, &station, nullptr, false});
                continue;
            }
            if (!current.asks[i]) {
                ++station.tally.skipped;
                write({time, &station, nullptr, true});
                continue;
            }

            const Result result =
                context_.engine().transact(station.request, protocol::ReplyKind::Registers);
            station.tally.add(result);
            const Clock::time_point now = Clock::now();
            if (result.status == Status::PortLost) {
                write({time, &station, &result, false});
                portLost(result, now);
                if (lostForGood_)
                    return finish();
                continue;
            }
            station.backoff.asked(current.cycle, current.start, result.status == Status::Ok);

            // The next request is sent before this sample is printed, when it is due at once:
            // the next station of this cycle, or the first of the next cycle when that is due
            // now. Its answer crosses the line meanwhile.
            if (const auto following = nextAsked(current, i + 1)) {
                ahead = *following;
            } else if (due + std::chrono::milliseconds(options_.periodMs) <= now &&
                       !ending(current.cycle, now)) {
                next = plan(current.cycle + 1, now);
                if (const auto first = nextAsked(*next, 0))
                    ahead = *first;
            }
            if (ahead != kNone) {
                aheadTime = isoTimeNow();
                context_.engine().sendAhead(stations_[ahead].request,
                                            protocol::ReplyKind::Registers);
            }
            write({time, &station, &result, false});
        }

        // The next cycle is due one period after this one started; when this one took longer, it
        // starts at once, and the schedule moves on from there rather than catching up. While the
        // port is gone a poll with no period waits for the next attempt to open it.
        due += std::chrono::milliseconds(options_.periodMs);
        Clock::time_point now = Clock::now();
        if (due < now)
            due = now;
        if (next)
            continue;
        if (portGone_ && options_.periodMs == 0)
            due = std::max(due, reopen_.next());
        for (;;) {
            now = Clock::now();
            if (portGone_ && now >= reopen_.next()) {
                tryReopen(now);
                continue;
            }
            Clock::time_point until = due;
            if (options_.duration)
                until = std::min(until, start_ + *options_.duration);
            if (until <= now)
                break;
            const Clock::time_point wake = portGone_ ? std::min(until, reopen_.next()) : until;
            if (stop_.wait(std::chrono::ceil<std::chrono::milliseconds>(wake - now)))
                break;
        }
    }
    return finish();
}

void Poll::write(const Row& row) {
    const Result* result = row.result;
    const int address = row.station->address;
    const bool ok = result && result->status == Status::Ok;
    const long long lux = result ? luxOf(*result) : -1;
    const QString status =
        row.skipped ? kSkipped : statusName(result ? result->status : Status::PortLost);
    const QString luxText = lux >= 0 ? QString::number(lux) : QString();
    const QString latencyText =
        ok ? QString::number(roundedMillis(result->latencyMs), 'f', 1) : QString();

    const QString csvRow = QStringLiteral("%1,%2,%3,%4,%5")
                               .arg(row.time)
                               .arg(address)
                               .arg(luxText, latencyText, status);
    if (options_.csvToOutput)
        context_.out().data(csvRow);
    else if (csv_)
        csv_->write(csvRow.toUtf8());

    if (context_.out().json()) {
        QJsonObject object = context_.record(address, row.time);
        object[QStringLiteral("status")] = status;
        if (ok) {
            object[QStringLiteral("lux")] = luxJson(lux);
            object[QStringLiteral("registers")] = registerArray(result->registers);
            object[QStringLiteral("latency_ms")] = roundedMillis(result->latencyMs);
        } else if (result) {
            object[QStringLiteral("error")] =
                context_.failureText(*result, address, kReadOfRegister0);
            if (result->status == Status::Exception)
                object[QStringLiteral("exception")] = result->exceptionCode;
        } else if (!row.skipped) {
            object[QStringLiteral("error")] =
                QStringLiteral("the port %1 is gone").arg(qtext(context_.common().line.port));
        }
        context_.out().object(object);
    } else if (!options_.csvToOutput) {
        const QString stationText =
            stations_.size() > 1 ? QStringLiteral("  station %1").arg(address) : QString();
        context_.out().data(
            QStringLiteral("%1%2  %3  %4  %5")
                .arg(row.time, stationText,
                     lux >= 0 ? luxText + QStringLiteral(" lx") : QStringLiteral("-"),
                     ok ? latencyText + QStringLiteral(" ms") : QStringLiteral("-"), status));
    }

    if (publisher_)
        publisher_->publish({row.time.toStdString(), address, lux, status.toStdString(),
                             ok ? roundedMillis(result->latencyMs) : -1.0});
}

void Poll::portLost(const Result& result, Clock::time_point now) {
    lostResult_ = result;
    const QString text = context_.failureText(result, 0, kReadOfRegister0);
    ++losses_;
    if (!options_.reconnect) {
        lostForGood_ = true;
        portGone_ = true;
        context_.out().message(QStringLiteral("qf7320: %1. Check that the adapter is still "
                                              "plugged in, then start again")
                                   .arg(text));
        return;
    }
    portGone_ = true;
    goneSince_ = now;
    reopen_.lost(now);
    context_.out().message(
        QStringLiteral("qf7320: %1. Polling goes on with port-error rows while it is gone, "
                       "opening it again every %2-%3 s")
            .arg(text)
            .arg(double(ReopenBackoff::kFirst.count()) / 1000.0)
            .arg(double(ReopenBackoff::kLongest.count()) / 1000.0));
}

void Poll::tryReopen(Clock::time_point now) {
    if (!reopenLine(context_)) {
        reopen_.failed(now);
        return;
    }
    portGone_ = false;
    const Clock::time_point back = Clock::now();
    secondsLost_ += secondsBetween(goneSince_, back);
    context_.out().message(QStringLiteral("qf7320: the port %1 is back after %2 s; polling goes on")
                               .arg(qtext(context_.common().line.port))
                               .arg(secondsBetween(goneSince_, back), 0, 'f', 1));
}

int Poll::finish() {
    if (portGone_ && !lostForGood_)
        secondsLost_ += secondsBetween(goneSince_, Clock::now());
    if (csv_)
        csv_->flush();
    if (publisher_)
        publisher_->finish(std::chrono::seconds(2));

    bool answered = false;
    std::optional<Status> lastFailure;
    for (const Station& station : stations_) {
        for (const QString& line : station.tally.summary(context_.common().line, station.address))
            context_.out().message(line);
        answered = answered || station.tally.answered > 0;
        if (station.tally.lastFailure)
            lastFailure = station.tally.lastFailure;
    }
    if (losses_ && !lostForGood_)
        context_.out().message(
            QStringLiteral("port lost %1 %2, %3 s without it")
                .arg(losses_)
                .arg(losses_ == 1 ? QStringLiteral("time") : QStringLiteral("times"))
                .arg(secondsLost_, 0, 'f', 1));
    if (csv_ && csv_->failedRows())
        context_.out().message(QStringLiteral("%1 rows could not be written to %2")
                                   .arg(csv_->failedRows())
                                   .arg(csv_->path()));
    if (publisher_)
        for (const std::string& line : publisher_->summary())
            context_.out().message(QString::fromStdString(line));

    if (lostForGood_)
        return kExitPort;
    if (answered || !lastFailure)
        return kExitOk;
    return exitStatus(*lastFailure);
}

} // namespace

int pollCommand(Context& context) {
    const auto text = [&](const char* name) { return context.value(QLatin1String(name)); };
    const auto given = [&](const char* name) { return context.isSet(QLatin1String(name)); };
    if (const int status = context.noArguments())
        return status;

    PollOptions options;
    const auto period = context.wholeOption(QStringLiteral("period"), 0, kLongestPeriodMs, 1000,
                                            QStringLiteral("a time in milliseconds"));
    if (!period)
        return kExitUsage;
    options.periodMs = *period;
    if (given("samples") && given("duration"))
        return context.usage(QStringLiteral("give --samples or --duration, not both"));
    const auto samples = context.wholeOption(QStringLiteral("samples"), 1, kMostSamples, 0,
                                             QStringLiteral("a count of samples"));
    if (!samples)
        return kExitUsage;
    options.samples = *samples;
    if (given("duration")) {
        bool ok = false;
        const double seconds = text("duration").toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > kLongestDurationSeconds)
            return context.usage(QStringLiteral("--duration %1 is not a time in seconds above 0")
                                     .arg(text("duration")));
        options.duration =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    options.reconnect = !given("no-reconnect");
    if (!given("mqtt"))
        for (const char* name : {"mqtt-password-file", "mqtt-ca", "mqtt-insecure", "mqtt-store",
                                 "mqtt-buffer", "ha", "ha-prefix"})
            if (given(name))
                return context.usage(
                    QStringLiteral("--%1 goes with --mqtt URL").arg(QLatin1String(name)));

    // A write past a file-size limit (the CSV file, the MQTT store) fails with EFBIG, said and
    // waited out, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);

    // The CSV file is opened before the port, so a file that cannot be written sends nothing.
    options.csvToOutput = given("csv") && text("csv") == QLatin1String("-");
    if (options.csvToOutput && context.out().json())
        return context.usage(QStringLiteral("--csv - and --json both want standard output: "
                                            "give --csv a file"));
    Poll poll(context, options);
    if (given("csv") && !options.csvToOutput) {
        auto csv = std::make_unique<CsvLog>(
            text("csv"), kCsvHeader, [&](const QString& line) { context.out().message(line); });
        QString error;
        if (!csv->open(error))
            return context.usage(error);
        poll.setCsv(std::move(csv));
    }
    if (options.csvToOutput)
        context.out().data(QString::fromUtf8(kCsvHeader));

    // The broker is reached before the port is opened, so a refused password sends nothing.
    if (given("mqtt")) {
        std::unique_ptr<publish::Publisher> publisher;
        if (const int status = publish::startPublisher(context, publisher))
            return status;
        poll.setPublisher(std::move(publisher));
    }

    if (const int status = context.openPort())
        return status;
    return poll.run();
}

} // namespace cli
