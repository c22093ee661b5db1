// A fixed-size log-linear histogram of durations in nanoseconds: exact below
// 128, then 64 buckets per power of two (under 1.6% relative error, about two
// significant digits) up to 2^40 ns; longer durations land in the last bucket.
// Recording is a few integer operations and never allocates.
#pragma once
#include <cstdint>
#include <cstring>

namespace common {

struct Latency {
    static constexpr int kSubBits = 6;
    static constexpr uint64_t kSub = 1u << kSubBits;      // buckets per power of two
    static constexpr uint64_t kLinear = 2 * kSub;         // exact values 0..127
    static constexpr int kTopBit = 40;                    // 2^40 ns, about 18 minutes
    static constexpr int kBuckets = int(kLinear + (kTopBit - kSubBits - 1) * kSub);

    uint64_t count;
    uint64_t max;
    uint64_t buckets[kBuckets];

    static int index_of(uint64_t v) {
        if (v < kLinear) return int(v);
        int top = 63 - __builtin_clzll(v);
        if (top >= kTopBit) return kBuckets - 1;
        int shift = top - kSubBits;
        return int(kLinear + uint64_t(shift - 1) * kSub + ((v >> shift) - kSub));
    }

    // The largest value that falls into bucket i.
    static uint64_t upper_of(int i) {
        if (uint64_t(i) < kLinear) return uint64_t(i);
        uint64_t k = uint64_t(i) - kLinear;
        int shift = int(k / kSub) + 1;
        uint64_t sub = k % kSub + kSub;
        return ((sub + 1) << shift) - 1;
    }

    void record(uint64_t ns) {
        ++count;
        if (ns > max) max = ns;
        ++buckets[index_of(ns)];
    }

    void reset() { std::memset(this, 0, sizeof *this); }

    // Values at the given quantiles (nearest rank), each no larger than max.
    // out[i] is 0 when nothing was recorded; qs must be ascending.
    void quantiles(const double* qs, int n, uint64_t* out) const {
        uint64_t seen = 0;
        int b = 0;
        for (int i = 0; i < n; ++i) {
            if (!count) {
                out[i] = 0;
                continue;
            }
            uint64_t rank = uint64_t(qs[i] * double(count));
            if (double(rank) < qs[i] * double(count)) ++rank;
            if (rank < 1) rank = 1;
            while (b < kBuckets && seen + buckets[b] < rank) seen += buckets[b++];
            uint64_t v = b < kBuckets ? upper_of(b) : max;
            out[i] = v < max ? v : max;
        }
    }
};

}  // namespace common
