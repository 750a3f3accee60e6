#pragma once

// What a poll's web server shows: every station's last sample, its counts and latencies, a chart
// of the whole poll thinned to a bounded number of columns, the line's state and the samples
// waiting for the disk and the broker. The poll's thread writes it, the server's thread reads it;
// one mutex guards it, held only to copy a few numbers in or to write a reply's text out, so the
// poll never waits on a client.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace logger::http {

// What the state knows of the poll from its start.
struct PollFacts {
    std::string port; // as given with --port
    std::vector<int> stations;
    long long periodMs = 1000;
    std::string version; // the program's
};

class State {
public:
    explicit State(PollFacts facts);

    // From the poll: a sample with its status as the rows name it (ok, timeout, bad-reply,
    // exception, port-error, skipped), its reading (-1: none) and latency (-1: none).
    void sample(int station, const std::string& time, const std::string& status, long long lux,
                double latencyMs);
    // The line (port or connection) lost, with what failed in words, and back.
    void lineLost(const std::string& reason);
    void lineBack();
    // The samples waiting for the broker and the CSV rows waiting for the disk; -1: not in use.
    void backlog(long long mqttWaiting, long long csvWaiting);

    // For the server: changes with every update.
    std::uint64_t version() const { return version_.load(std::memory_order_acquire); }
    // The Prometheus text exposition format (0.0.4), every line ending in a line feed.
    std::string metrics() const;
    // The state as one JSON object: every station with its whole chart when `history`, else
    // with the chart's last two columns (an update of a page that holds the rest).
    std::string json(bool history) const;

    // The chart of a station: at most kColumns columns of equal width, each the minimum and the
    // maximum of the readings that fell in it and its counts of answered and failed samples.
    // When a new column would pass the limit, the width doubles and neighbours merge, so a poll
    // of any length fits: a week in columns of about 8 minutes.
    static constexpr std::size_t kColumns = 2048;
    static constexpr long long kFirstWidthMs = 1000;

    // The latency histogram's upper bounds, in seconds, as Prometheus wants them.
    static constexpr std::array<double, 11> kBuckets = {0.005, 0.01, 0.02, 0.05, 0.1, 0.2,
                                                        0.5,   1,    2,    5,    10};
    // Every status a sample can have, in the order they are shown.
    static constexpr std::array<const char*, 6> kStatuses = {"ok",        "timeout",    "bad-reply",
                                                             "exception", "port-error", "skipped"};

private:
    struct Column {
        long long startMs = 0;
        double min = 0;
        double max = 0;
        int ok = 0;
        int failed = 0;
    };
    struct Station {
        int address = 1;
        std::string lastStatus;
        std::string lastTime;
        long long lastMs = 0;
        long long lux = -1;
        double latencyMs = -1;
        std::optional<long long> lastOkMs;
        std::array<std::uint64_t, kStatuses.size()> counts{};
        std::array<std::uint64_t, kBuckets.size()> buckets{}; // not cumulative
        std::uint64_t latencyCount = 0;
        double latencySum = 0; // seconds
        long long widthMs = kFirstWidthMs;
        std::vector<Column> columns;

        void chart(long long nowMs, bool ok, double lux);
    };

    Station* find(int address);
    void touched() { version_.fetch_add(1, std::memory_order_release); }

    const PollFacts facts_;
    mutable std::mutex mutex_;
    std::atomic<std::uint64_t> version_{0};
    std::vector<Station> stations_;
    bool lineUp_ = true;
    std::uint64_t losses_ = 0;
    std::string lineReason_;
    long long lineSinceMs_ = 0;
    long long mqttWaiting_ = -1;
    long long csvWaiting_ = -1;
};

// Milliseconds since 1970 (UTC), as the page and Prometheus count time.
long long unixMillis(std::chrono::system_clock::time_point time = std::chrono::system_clock::now());

} // namespace logger::http
