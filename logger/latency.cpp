#include "logger/latency.h"

#include "platform/rounding.h"

#include <algorithm>
#include <array>

namespace logger {

namespace {

using Bounds = std::array<double, LatencyHistogram::kCoarseBuckets>;

// Where each coarse bucket starts: kFineLimitMs x kRatio^k, by multiplying (the maths library's
// logarithm and power are not linked into qf7320).
const Bounds& coarseBounds() {
    static const Bounds bounds = [] {
        Bounds result{};
        double bound = LatencyHistogram::kFineLimitMs;
        for (double& start : result) {
            start = bound;
            bound *= LatencyHistogram::kRatio;
        }
        return result;
    }();
    return bounds;
}

// The square root of kRatio: a bucket's geometric middle from its start.
constexpr double kHalfRatio = 1.004987562112089;
static_assert(kHalfRatio * kHalfRatio > LatencyHistogram::kRatio - 1e-15 &&
              kHalfRatio * kHalfRatio < LatencyHistogram::kRatio + 1e-15);

} // namespace

int LatencyHistogram::bucketOf(double ms) {
    if (!(ms > 0))
        return 0;
    if (ms < kFineLimitMs)
        return std::min(static_cast<int>(ms / kFineStepMs), kFineBuckets - 1);
    const Bounds& bounds = coarseBounds();
    const auto above = std::upper_bound(bounds.begin(), bounds.end(), ms);
    return kFineBuckets + static_cast<int>(above - bounds.begin()) - 1;
}

double LatencyHistogram::middleOf(int bucket) {
    if (bucket < kFineBuckets)
        return (bucket + 0.5) * kFineStepMs;
    // The geometric middle: the farthest value in the bucket is the same ratio away either side.
    return coarseBounds()[static_cast<std::size_t>(bucket - kFineBuckets)] * kHalfRatio;
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
        static_cast<std::uint64_t>(rounding::ceiling(fraction * double(count_))), 1, count_);
    std::uint64_t seen = 0;
    for (std::size_t bucket = 0; bucket < buckets_.size(); ++bucket) {
        seen += buckets_[bucket];
        if (seen >= rank)
            return std::clamp(middleOf(static_cast<int>(bucket)), min_, max_);
    }
    return max_;
}

} // namespace logger
