#pragma once

// The spread of a station's reply latencies in constant memory, however long a poll runs: exact
// minimum, maximum and mean, and a percentile read from a histogram fine enough that the figure
// shown (to 0.1 ms) is within 0.1 ms or 1 % of the exact one, whichever is larger.

#include <array>
#include <cstdint>

namespace logger {

class LatencyHistogram {
public:
    void add(double ms);

    std::uint64_t count() const { return count_; }
    double min() const { return min_; }
    double max() const { return max_; }
    double mean() const { return count_ ? sum_ / double(count_) : 0.0; }
    // The value of rank ceil(fraction x count) in ascending order, as a sorted list of every
    // latency would give it (within the bucket's half-width); 0 when nothing was added.
    double percentile(double fraction) const;

    // Below kFineLimitMs buckets are kFineStepMs wide: a bucket's middle is within 0.025 ms of
    // any value in it. Above, each bucket is kRatio times as wide as the last, so its middle is
    // within 0.5 % of any value in it; past the last bucket, values are counted in it and
    // reported at most as the maximum seen.
    static constexpr double kFineStepMs = 0.05;
    static constexpr double kFineLimitMs = 10.0;
    static constexpr double kRatio = 1.01;
    static constexpr int kFineBuckets = 200;    // 0-10 ms
    static constexpr int kCoarseBuckets = 1200; // 10 ms to about 1.5 million ms

private:
    static int bucketOf(double ms);
    static double middleOf(int bucket);

    std::array<std::uint32_t, kFineBuckets + kCoarseBuckets> buckets_{};
    std::uint64_t count_ = 0;
    double sum_ = 0;
    double min_ = 0;
    double max_ = 0;
};

} // namespace logger
