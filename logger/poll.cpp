#include "logger/poll.h"

#include "client/measurement.h"

#include "logger/csvlog.h"
#include "logger/http/state.h"
#include "logger/latency.h"
#include "logger/pollschedule.h"
#include "logger/stopsignal.h"

#include "modbus/protocol.h"
#include "platform/rounding.h"
#include "platform/text.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <memory>
#include <utility>

namespace logger {

namespace {

using Clock = std::chrono::steady_clock;
using client::luxOf;
using client::Result;
using client::roundedMillis;
using client::Status;

const std::string kSkipped = "skipped";

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::string fixed1(double value) {
    return text::number(value, 'f', 1);
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
    std::vector<std::string> summary(const client::Line& line, int station) const {
        std::vector<std::string> lines;
        // A Modbus TCP gateway's serial rate is its own, not known here.
        lines.push_back(line.kind == client::Kind::ModbusTcp
                            ? text::format("--- %1, station %2 ---", {line.port, station})
                            : text::format("--- %1 at %2 baud, station %3 ---",
                                           {line.port, line.baud, station}));
        const int lost = sent - answered;
        lines.push_back(text::format("%1 sent, %2 answered, %3 timeouts, %4 bad replies, %5 "
                                     "exceptions, %6% unanswered",
                                     {sent, answered, timeouts, badReplies, exceptions,
                                      sent ? rounding::nearest(100.0 * lost / sent) : 0.0}));
        if (skipped || portErrors)
            lines.push_back(
                text::format("%1 skipped while backed off, %2 port errors", {skipped, portErrors}));
        if (latency.count())
            lines.push_back(
                text::format("latency min/avg/p95/max = %1/%2/%3/%4 ms",
                             {fixed1(latency.min()), fixed1(latency.mean()),
                              fixed1(latency.percentile(0.95)), fixed1(latency.max())}));
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
    std::string time;
    const Station* station = nullptr;
    const Result* result = nullptr; // the transaction, when one was made
    bool skipped = false;           // not asked in this cycle: backed off
    // Otherwise the port was gone: no transaction could be made.
};

} // namespace

class Poll::Loop {
public:
    Loop(client::Engine& engine, PollSettings settings, PollOutput& output)
        : engine_(engine), settings_(std::move(settings)), out_(output) {
        for (const int address : settings_.stations)
            stations_.push_back({address, client::measurementRequest(address), {}, {}});
    }

    bool openLog(std::string& error);
    bool startServer(std::string& error);
    publish::Launch startPublisher(publish::Settings settings, const std::string& programDir,
                                   std::string& error);
    std::optional<Status> run();

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
    void reportBacklog();
    std::optional<Status> finish();

    client::Engine& engine_;
    PollSettings settings_;
    PollOutput& out_;
    std::vector<Station> stations_;
    std::unique_ptr<CsvLog> csv_;
    std::unique_ptr<publish::Publisher> publisher_;
    StopSignal stop_;
    std::optional<HangupSignal> hangup_;
    Clock::time_point start_;

    // The port, while it is gone: when it went, and when it is tried again.
    bool portGone_ = false;
    bool lostForGood_ = false; // gone with no reconnecting
    std::optional<Result> lostResult_;
    Clock::time_point goneSince_;
    ReopenBackoff reopen_;
    int losses_ = 0;
    double secondsLost_ = 0;

    // With --http: what the server shows, and the server, which goes first.
    std::unique_ptr<http::State> httpState_;
    std::unique_ptr<http::Server> server_;
    Clock::time_point backlogReported_;
};

bool Poll::Loop::openLog(std::string& error) {
    if (settings_.csvToOutput) {
        out_.data(kCsvHeader);
        return true;
    }
    if (!settings_.csvPath)
        return true;
    auto csv = std::make_unique<CsvLog>(*settings_.csvPath, kCsvHeader,
                                        [this](const std::string& line) { out_.message(line); });
    if (!csv->open(error))
        return false;
    csv_ = std::move(csv);
    return true;
}

bool Poll::Loop::startServer(std::string& error) {
    if (!settings_.http)
        return true;
    httpState_ = std::make_unique<http::State>(http::PollFacts{
        settings_.line.port, settings_.stations, settings_.periodMs, QF7320_VERSION});
    auto server = std::make_unique<http::Server>(*httpState_);
    if (!server->start(*settings_.http, error)) {
        httpState_.reset();
        return false;
    }
    server_ = std::move(server);
    const std::string& address = settings_.http->address;
    const bool local = address.starts_with("127.") || address == "::1";
    out_.message(text::format(
        "qf7320: serving this poll at %1 (the page; /metrics, /api/v1/stations)%2",
        {server_->where(), local ? ""
                           : settings_.http->token
                               ? "; other machines can reach it, with the token"
                               : "; other machines can reach it, and read it without a "
                                 "token"}));
    return true;
}

// The samples waiting for the broker and the rows waiting for the disk, for the server: at most
// once a second.
void Poll::Loop::reportBacklog() {
    const Clock::time_point now = Clock::now();
    if (now - backlogReported_ < std::chrono::seconds(1))
        return;
    backlogReported_ = now;
    httpState_->backlog(publisher_ ? publisher_->waiting() : -1, csv_ ? csv_->heldRows() : -1);
}

publish::Launch Poll::Loop::startPublisher(publish::Settings settings,
                                           const std::string& programDir, std::string& error) {
    settings.stations = settings_.stations;
    settings.say = [this](const std::string& text) { out_.message(text); };
    return publish::launchPublisher(std::move(settings), programDir, publisher_, error);
}

Poll::Loop::Plan Poll::Loop::plan(long long cycle, Clock::time_point start) const {
    Plan plan{cycle, start, {}};
    for (const Station& station : stations_)
        plan.asks.push_back(station.backoff.due(cycle, start) ? 1 : 0);
    return plan;
}

std::optional<std::size_t> Poll::Loop::nextAsked(const Plan& plan, std::size_t after) const {
    for (std::size_t i = after; i < plan.asks.size(); ++i)
        if (plan.asks[i])
            return i;
    return std::nullopt;
}

bool Poll::Loop::ending(long long cycle, Clock::time_point now) const {
    return stop_.requested() || (settings_.samples > 0 && cycle >= settings_.samples) ||
           (settings_.duration && now - start_ >= *settings_.duration);
}

std::optional<Status> Poll::Loop::run() {
    hangup_.emplace();
    start_ = Clock::now();
    Clock::time_point due = start_;
    long long cycle = 0;
    std::optional<Plan> next; // the coming cycle, planned early when its request went out ahead
    // A station whose request has gone out ahead, and the time its sample was taken. A sample
    // whose request has gone out is always completed, even when a stop came meanwhile.
    constexpr std::size_t kNone = std::size_t(-1);
    std::size_t ahead = kNone;
    std::string aheadTime;

    while (next || !ending(cycle, Clock::now())) {
        ++cycle;
        const Plan current = next ? *std::exchange(next, std::nullopt) : plan(cycle, Clock::now());
        // SIGHUP (logrotate, systemctl reload) reopens the CSV file, and never ends a poll.
        if (hangup_->take() && csv_)
            csv_->reopen();

        for (std::size_t i = 0; i < stations_.size(); ++i) {
            Station& station = stations_[i];
            const bool sentAhead = ahead == i;
            const std::string time = sentAhead ? aheadTime : out_.timeNow();
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

            const Result result = engine_.transact(station.request, protocol::ReplyKind::Registers);
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
            } else if (due + std::chrono::milliseconds(settings_.periodMs) <= now &&
                       !ending(current.cycle, now)) {
                next = plan(current.cycle + 1, now);
                if (const auto first = nextAsked(*next, 0))
                    ahead = *first;
            }
            if (ahead != kNone) {
                aheadTime = out_.timeNow();
                engine_.sendAhead(stations_[ahead].request, protocol::ReplyKind::Registers);
            }
            write({time, &station, &result, false});
        }

        // The next cycle is due one period after this one started; when this one took longer, it
        // starts at once, and the schedule moves on from there rather than catching up. While the
        // port is gone a poll with no period waits for the next attempt to open it.
        due += std::chrono::milliseconds(settings_.periodMs);
        Clock::time_point now = Clock::now();
        if (due < now)
            due = now;
        if (next)
            continue;
        if (portGone_ && settings_.periodMs == 0)
            due = std::max(due, reopen_.next());
        for (;;) {
            now = Clock::now();
            if (portGone_ && now >= reopen_.next()) {
                tryReopen(now);
                continue;
            }
            Clock::time_point until = due;
            if (settings_.duration)
                until = std::min(until, start_ + *settings_.duration);
            if (until <= now)
                break;
            const Clock::time_point wake = portGone_ ? std::min(until, reopen_.next()) : until;
            if (stop_.wait(std::chrono::ceil<std::chrono::milliseconds>(wake - now)))
                break;
        }
    }
    return finish();
}

void Poll::Loop::write(const Row& row) {
    const Result* result = row.result;
    const int address = row.station->address;
    const bool ok = result && result->status == Status::Ok;
    const long long lux = result ? luxOf(*result) : -1;
    const std::string status =
        row.skipped ? kSkipped : client::statusName(result ? result->status : Status::PortLost);
    const std::string luxText = lux >= 0 ? std::to_string(lux) : std::string();
    const std::string latencyText =
        ok ? text::number(roundedMillis(result->latencyMs), 'f', 1) : std::string();

    const std::string csvRow =
        text::format("%1,%2,%3,%4,%5", {row.time, address, luxText, latencyText, status});
    if (settings_.csvToOutput)
        out_.data(csvRow);
    else if (csv_)
        csv_->write(csvRow);

    if (settings_.json) {
        json::Value object = out_.record(address, row.time);
        object["status"] = status;
        if (ok) {
            object["lux"] = lux >= 0 ? json::Value(lux) : json::Value(nullptr);
            object["registers"] = json::array(result->registers);
            object["latency_ms"] = json::number(roundedMillis(result->latencyMs));
        } else if (result) {
            object["error"] = out_.failureText(*result, address);
            if (result->status == Status::Exception)
                object["exception"] = result->exceptionCode;
        } else if (!row.skipped) {
            object["error"] = text::format("the port %1 is gone", {settings_.line.port});
        }
        out_.object(object);
    } else if (!settings_.csvToOutput) {
        const std::string stationText =
            stations_.size() > 1 ? text::format("  station %1", {address}) : std::string();
        out_.data(text::format("%1%2  %3  %4  %5",
                               {row.time, stationText, lux >= 0 ? luxText + " lx" : "-",
                                ok ? latencyText + " ms" : "-", status}));
    }

    if (publisher_)
        publisher_->publish(
            {row.time, address, lux, status, ok ? roundedMillis(result->latencyMs) : -1.0});
    if (httpState_) {
        httpState_->sample(address, row.time, status, ok ? lux : -1,
                           ok ? roundedMillis(result->latencyMs) : -1.0);
        reportBacklog();
    }
}

void Poll::Loop::portLost(const Result& result, Clock::time_point now) {
    lostResult_ = result;
    const std::string text = out_.failureText(result, 0);
    ++losses_;
    if (httpState_)
        httpState_->lineLost(text);
    if (!settings_.reconnect) {
        lostForGood_ = true;
        portGone_ = true;
        out_.message(text::format("qf7320: %1. Check that the adapter is still "
                                  "plugged in, then start again",
                                  {text}));
        return;
    }
    portGone_ = true;
    goneSince_ = now;
    reopen_.lost(now);
    out_.message(text::format("qf7320: %1. Polling goes on with port-error rows while it is gone, "
                              "opening it again every %2-%3 s",
                              {text, double(ReopenBackoff::kFirst.count()) / 1000.0,
                               double(ReopenBackoff::kLongest.count()) / 1000.0}));
}

// Opens the line the poll talks on, again after it was lost: the one place a poll opens its port
// after the start. The same endpoint as at the start: the serial device (found again through its
// by-id name or COMn link), or a new connection to the same server.
void Poll::Loop::tryReopen(Clock::time_point now) {
    if (!engine_.open(settings_.line)) {
        reopen_.failed(now);
        return;
    }
    portGone_ = false;
    if (httpState_)
        httpState_->lineBack();
    const Clock::time_point back = Clock::now();
    secondsLost_ += secondsBetween(goneSince_, back);
    out_.message(text::format("qf7320: the port %1 is back after %2 s; polling goes on",
                              {settings_.line.port, fixed1(secondsBetween(goneSince_, back))}));
}

std::optional<Status> Poll::Loop::finish() {
    if (portGone_ && !lostForGood_)
        secondsLost_ += secondsBetween(goneSince_, Clock::now());
    if (csv_)
        csv_->flush();
    if (publisher_)
        publisher_->finish(std::chrono::seconds(2));

    bool answered = false;
    std::optional<Status> lastFailure;
    for (const Station& station : stations_) {
        for (const std::string& line : station.tally.summary(settings_.line, station.address))
            out_.message(line);
        answered = answered || station.tally.answered > 0;
        if (station.tally.lastFailure)
            lastFailure = station.tally.lastFailure;
    }
    if (losses_ && !lostForGood_)
        out_.message(
            text::format("port lost %1 %2, %3 s without it",
                         {losses_, losses_ == 1 ? "time" : "times", fixed1(secondsLost_)}));
    if (csv_ && csv_->failedRows())
        out_.message(
            text::format("%1 rows could not be written to %2", {csv_->failedRows(), csv_->path()}));
    if (publisher_)
        for (const std::string& line : publisher_->summary())
            out_.message(line);
    if (server_)
        out_.message(text::format("http %1: %2 requests, %3 refused or dropped",
                                  {server_->where(), server_->counts().requests.load(),
                                   server_->counts().refused.load()}));

    if (lostForGood_)
        return Status::PortLost;
    if (answered || !lastFailure)
        return std::nullopt;
    return lastFailure;
}

Poll::Poll(client::Engine& engine, PollSettings settings, PollOutput& output)
    : loop_(std::make_unique<Loop>(engine, std::move(settings), output)) {
#ifdef SIGXFSZ
    // A write past a file-size limit (the CSV file, the MQTT store) fails with EFBIG, said and
    // waited out, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

Poll::~Poll() = default;

bool Poll::openLog(std::string& error) {
    return loop_->openLog(error);
}

bool Poll::startServer(std::string& error) {
    return loop_->startServer(error);
}

publish::Launch Poll::startPublisher(publish::Settings settings, const std::string& programDir,
                                     std::string& error) {
    return loop_->startPublisher(std::move(settings), programDir, error);
}

std::optional<client::Status> Poll::run() {
    return loop_->run();
}

} // namespace logger
