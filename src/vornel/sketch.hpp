// The quantile sketch of one stream: bucket counts by value, exact count and extremes.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "sketchmap.hpp"

namespace vornel {

// Counts of bucket indices [lo, lo + cap), grown at either end as values arrive. Memory
// comes from PyMem_Raw*, which the add loops may call with the thread detached.
struct DenseStore {
    uint64_t *counts = nullptr;
    int32_t lo = 0;
    int32_t cap = 0;

    bool empty() const noexcept { return cap == 0; }
    // Makes index i (in [0, top)) one of the store's; false when memory ran out (nothing
    // changed). The store never reaches outside [0, top): the add loop counts on indices
    // of zeros (below 0) and of infinities and NaN (top and up) falling outside it.
    bool cover(int32_t i, int32_t top) noexcept;
    // The lowest and highest index with a non-zero count; lo > hi when there is none.
    int32_t first() const noexcept;
    int32_t last() const noexcept;
    // i's slot, or cap and up when the store does not hold i.
    uint64_t at_offset(int32_t i) const noexcept {
        return static_cast<uint64_t>(static_cast<int64_t>(i) - lo);
    }
    uint64_t at(int32_t i) const noexcept {
        const auto off = static_cast<uint64_t>(static_cast<int64_t>(i) - lo);
        return off < static_cast<uint64_t>(cap) ? counts[off] : 0;
    }
    void release() noexcept;
};

// Which of the value-ordered buckets a rank falls in: see for_each_bucket.
enum class Side : uint8_t { NegInf, Negative, Zero, Positive, PosInf };

// The whole state of one stream. Zeros of both signs and subnormals share the zero bucket;
// NaN is never added. min orders -0.0 below +0.0 so that arrival order cannot matter.
struct SketchCore {
    int32_t top = 0;    // indices lie in [0, top): kExponents * k
    int64_t count = 0;  // every value added, infinities included
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();
    uint64_t zero = 0, neg_inf = 0, pos_inf = 0;
    DenseStore stores[2];  // magnitudes of positive [0] and of negative [1] values

    void release() noexcept {
        stores[0].release();
        stores[1].release();
    }
};

// Folds n doubles at data (byte stride) into s, NaN skipped. Detached-safe. Returns the
// number of values taken: fewer than n only when memory ran out.
int64_t sketch_add(SketchCore &s, const Mapping &m, const char *data, int64_t n,
                   int64_t stride) noexcept;

// How many values at data are not NaN (the count an add would take on), for the overflow
// check made before any change.
int64_t count_numbers(const char *data, int64_t n, int64_t stride) noexcept;

// Adds b's buckets to a's (a and b may be the same). False when memory ran out, with a
// unchanged.
bool sketch_merge(SketchCore &a, const SketchCore &b) noexcept;

// Keeps the max_buckets highest non-empty buckets (by value: negative store, zero bucket,
// positive store; infinities keep their own counts) and folds every lower one into the
// lowest of them. The kept set is the top of everything ever added, so the result depends
// only on the values, never on how adds and merges were split.
void sketch_collapse(SketchCore &s, int64_t max_buckets) noexcept;

// Non-empty buckets counted by sketch_collapse.
int64_t sketch_buckets(const SketchCore &s) noexcept;

// The value for q in [0, 1]: the answer of the bucket holding the element of rank
// floor(q (n - 1)), clamped to [min, max]; q = 0 and 1 give min and max exactly; NaN when
// empty.
double sketch_quantile(const SketchCore &s, const Mapping &m, double q) noexcept;

// Whether a and b hold the same buckets, counts and extremes (bit for bit).
bool sketch_equal(const SketchCore &a, const SketchCore &b) noexcept;

// Orders doubles as min and max must: -0.0 below +0.0.
inline bool below(double a, double b) noexcept {
    if (a < b) return true;
    return a == b && a == 0.0 && std::signbit(a) && !std::signbit(b);
}

}  // namespace vornel
