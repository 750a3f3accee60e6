#include "logger/latency.h"

#include <algorithm>
#include <cmath>

namespace logger {

int LatencyHistogram::bucketOf(double ms) {
    if (!(ms > 0))
        return 0;
    if (ms < kFineLimitMs)
        return std::min(static_cast<int>(ms / kFineStepMs), kFineBuckets - 1);
    const int coarse = static_cast<int>(std::log(ms / kFineLimitMs) / std::log(kRatio));
    return kFineBuckets + std::clamp(coarse, 0, kCoarseBuckets - 1);
}

double LatencyHistogram::middleOf(int bucket) {
    if (bucket < kFineBuckets)
        return (bucket + 0.5) * kFineStepMs;
    // The geometric middle: the farthest value in the bucket is the same ratio away either side.
    return kFineLimitMs * std::pow(kRatio, (bucket - kFineBuckets) + 0.5);
}

void LatencyHistogram::add(double ms) {
    ++buckets_[static_cast<std::size_t>(bucketOf(ms))];
    min_ = count_ ? std::min(min_, ms) : ms;
    max_ = count_ ? std::max(max_, ms) : ms;
    sum_ += ms;
    ++count_;
}

double LatencyHistogram::percentile(double fraction) const {
    if (!count_)
        return 0;
    const auto rank = std::clamp<std::uint64_t>(
        static_cast<std::uint64_t>(std::ceil(fraction * double(count_))), 1, count_);
    std::uint64_t seen = 0;
    for (std::size_t bucket = 0; bucket < buckets_.size(); ++bucket) {
        seen += buckets_[bucket];
        if (seen >= rank)
            return std::clamp(middleOf(static_cast<int>(bucket)), min_, max_);
    }
    return max_;
}

} // namespace logger
