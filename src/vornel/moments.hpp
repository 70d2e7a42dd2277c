// The moment accumulator record and its operations, in the one operation order every loop shares.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vornel {

// Plain data: lives inline in its owner, never allocated alone, copied by value.
struct Moments {
    int64_t count;
    double sum;
    double mean;
    double m2;
    double min;
    double max;
};

static_assert(sizeof(Moments) == 48, "the record is six 8-byte fields");

inline void moments_init(Moments &r) noexcept {
    r.count = 0;
    r.sum = 0.0;
    r.mean = 0.0;
    r.m2 = 0.0;
    // Finite extremes, not infinities: a stream of only +inf keeps min at DBL_MAX.
    r.min = std::numeric_limits<double>::max();
    r.max = -std::numeric_limits<double>::max();
}

// Welford's update. Callers keep the record in locals across a loop and store it once;
// every statement here is one rounded operation, so the build must not contract them.
inline void moments_update(Moments &r, double x) noexcept {
    r.count += 1;
    r.sum = r.sum + x;
    if (r.min > x) r.min = x;
    if (x > r.max) r.max = x;
    const double delta = x - r.mean;
    r.mean = r.mean + delta / static_cast<double>(r.count);
    r.m2 = r.m2 + (x - r.mean) * delta;
}

// Folds b into a. Every right-hand side is read before a is written, so a and b may alias.
inline void moments_merge(Moments &a, const Moments &b) noexcept {
    if (b.count == 0) return;
    if (a.count == 0) {
        a = b;
        return;
    }
    const int64_t n = a.count + b.count;
    const double N = static_cast<double>(n);
    const double A = static_cast<double>(a.count);
    const double B = static_cast<double>(b.count);
    const double delta = b.mean - a.mean;
    const double mean = (B * b.mean + A * a.mean) / N;
    const double m2 = (((delta * delta) * A) * B) / N + (a.m2 + b.m2);
    const double sum = a.sum + b.sum;
    const double mn = (a.min > b.min) ? b.min : a.min;
    const double mx = (b.max > a.max) ? b.max : a.max;
    a.count = n;
    a.mean = mean;
    a.m2 = m2;
    a.sum = sum;
    a.min = mn;
    a.max = mx;
}

// Counts stop here: every operation that would pass it refuses instead of wrapping.
inline constexpr int64_t kMaxCount = std::numeric_limits<int64_t>::max();

// Whether merging b into a keeps the count representable. Checked arithmetic: records
// arrays written by hand may hold any count, negative ones included.
inline bool merge_fits(const Moments &a, const Moments &b) noexcept {
    int64_t n;
    return !__builtin_add_overflow(a.count, b.count, &n);
}

struct Finalised {
    double var;
    double std;
};

// Only meaningful for count >= 1; callers report an empty record themselves.
inline Finalised moments_finalise(const Moments &r) noexcept {
    double var = r.m2 / static_cast<double>(r.count);
    if (0.0 > var) var = 0.0;  // rounding can leave m2 a hair below zero; NaN passes unchanged
    return {var, std::sqrt(var)};
}

// Loads element i of a strided view; memcpy because exporters may hand out unaligned memory.
template <class T>
inline T load_at(const char *base, int64_t i, int64_t stride) noexcept {
    T v;
    std::memcpy(&v, base + i * stride, sizeof(T));
    return v;
}

}  // namespace vornel
