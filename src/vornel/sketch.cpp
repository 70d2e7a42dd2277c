// The quantile sketch of one stream: the add loop, merge, collapse, rank walk and equality.
#include "sketch.hpp"

#include <Python.h>

#include <cstring>

#include "moments.hpp"

namespace vornel {

bool DenseStore::cover(int32_t i, int32_t top) noexcept {
    int64_t new_lo, new_hi;  // the new range [new_lo, new_hi)
    if (cap == 0) {
        new_lo = int64_t{i} - 32;
        new_hi = int64_t{i} + 32;
    } else if (i < lo) {
        // Growing by half at least keeps the copies to a constant share of the adds.
        new_lo = std::min<int64_t>(i, int64_t{lo} - cap / 2 - 1);
        new_hi = int64_t{lo} + cap;
    } else {
        new_lo = lo;
        new_hi = std::max<int64_t>(int64_t{i} + 1, int64_t{lo} + cap + cap / 2 + 1);
    }
    new_lo = std::max<int64_t>(new_lo, 0);
    new_hi = std::min<int64_t>(new_hi, top);
    const auto n = static_cast<size_t>(new_hi - new_lo);
    auto *grown = static_cast<uint64_t *>(PyMem_RawCalloc(n, sizeof(uint64_t)));
    if (!grown) return false;
    if (cap) std::memcpy(grown + (lo - new_lo), counts, static_cast<size_t>(cap) * 8);
    PyMem_RawFree(counts);
    counts = grown;
    lo = static_cast<int32_t>(new_lo);
    cap = static_cast<int32_t>(n);
    return true;
}

int32_t DenseStore::first() const noexcept {
    int32_t j = 0;
    while (j < cap && counts[j] == 0) ++j;
    return lo + j;
}

int32_t DenseStore::last() const noexcept {
    int32_t j = cap - 1;
    while (j >= 0 && counts[j] == 0) --j;
    return lo + j;
}

void DenseStore::release() noexcept {
    PyMem_RawFree(counts);
    counts = nullptr;
    lo = cap = 0;
}

int64_t count_numbers(const char *data, int64_t n, int64_t stride) noexcept {
    int64_t numbers = 0;
    for (int64_t t = 0; t < n; ++t) {
        const double x = load_at<double>(data, t, stride);
        numbers += x == x;
    }
    return numbers;
}

namespace {

// The add loop's copy of both stores, field by field so that the sign bit indexes each
// field directly; reloaded only when a store grows.
struct Windows {
    uint64_t *counts[2];
    int64_t lo[2];
    uint64_t cap[2];

    void load(const SketchCore &s, int side) noexcept {
        counts[side] = s.stores[side].counts;
        lo[side] = s.stores[side].lo;
        cap[side] = static_cast<uint64_t>(s.stores[side].cap);
    }
};

}  // namespace

int64_t sketch_add(SketchCore &s, const Mapping &m, const char *data, int64_t n,
                   int64_t stride) noexcept {
    // The record lives in locals across the loop and is stored once.
    int64_t nans = 0;
    double mn = s.min, mx = s.max;
    uint64_t zero = s.zero, neg_inf = s.neg_inf, pos_inf = s.pos_inf;
    const double kd = m.kd;
    const int32_t k = m.k;
    Windows w;
    w.load(s, 0);
    w.load(s, 1);
    int64_t t = 0;
    for (const char *p = data; t < n; ++t, p += stride) {
        double x;
        std::memcpy(&x, p, sizeof x);
        const uint64_t b = bits_of(x);
        // Every value gets an index; those of zeros and subnormals (below 0), infinities
        // and NaN (top and up) fall outside both stores, so one test per value sends both
        // them and a store that must grow to the slow path.
        const int32_t i = bucket_index(b, kd, k);
        const auto side = static_cast<int>(b >> 63);  // picks the store, without a branch
        auto off = static_cast<uint64_t>(i - w.lo[side]);
        if (off >= w.cap[side]) [[unlikely]] {
            const uint64_t e = (b >> 52) & 0x7FF;
            if (e == 0) {  // zeros and subnormals
                ++zero;
                if (below(x, mn)) mn = x;
                if (below(mx, x)) mx = x;
                continue;
            }
            if (e == 0x7FF) {
                if (b & kMantissa) {
                    ++nans;  // NaN has no rank
                } else if (side) {
                    ++neg_inf;
                    mn = x;
                } else {
                    ++pos_inf;
                    mx = x;
                }
                continue;
            }
            if (!s.stores[side].cover(i, s.top)) break;
            w.load(s, side);
            off = static_cast<uint64_t>(i - w.lo[side]);
        }
        ++w.counts[side][off];
        mn = x < mn ? x : mn;
        mx = x > mx ? x : mx;
    }
    s.count += t - nans;
    s.min = mn;
    s.max = mx;
    s.zero = zero;
    s.neg_inf = neg_inf;
    s.pos_inf = pos_inf;
    return t;
}

bool sketch_merge(SketchCore &a, const SketchCore &b) noexcept {
    for (int side = 0; side < 2; ++side) {
        const DenseStore &from = b.stores[side];
        const int32_t lo = from.first(), hi = from.last();
        if (lo > hi) continue;
        DenseStore &to = a.stores[side];
        // Covering only widens a store: a failure leaves every count as it was. A store
        // that already holds an index is left as it is (cover grows it by half regardless).
        if (to.at_offset(lo) >= static_cast<uint64_t>(to.cap) && !to.cover(lo, a.top))
            return false;
        if (to.at_offset(hi) >= static_cast<uint64_t>(to.cap) && !to.cover(hi, a.top))
            return false;
    }
    for (int side = 0; side < 2; ++side) {
        const DenseStore &from = b.stores[side];
        DenseStore &to = a.stores[side];
        for (int32_t j = 0; j < from.cap; ++j)
            if (from.counts[j]) to.counts[from.lo + j - to.lo] += from.counts[j];
    }
    a.count += b.count;
    a.zero += b.zero;
    a.neg_inf += b.neg_inf;
    a.pos_inf += b.pos_inf;
    if (below(b.min, a.min)) a.min = b.min;
    if (below(a.max, b.max)) a.max = b.max;
    return true;
}

namespace {

// Calls f(side, index, count&) for each non-empty finite bucket in ascending order of value:
// the negative store from its highest index down, the zero bucket, the positive store up.
// f returns false to stop.
template <class F>
void walk(SketchCore &s, F &&f) noexcept {
    DenseStore &neg = s.stores[1], &pos = s.stores[0];
    for (int32_t j = neg.cap - 1; j >= 0; --j)
        if (neg.counts[j] && !f(Side::Negative, neg.lo + j, neg.counts[j])) return;
    if (s.zero && !f(Side::Zero, 0, s.zero)) return;
    for (int32_t j = 0; j < pos.cap; ++j)
        if (pos.counts[j] && !f(Side::Positive, pos.lo + j, pos.counts[j])) return;
}

}  // namespace

int64_t sketch_buckets(const SketchCore &s) noexcept {
    int64_t n = s.zero != 0;
    for (const DenseStore &st : s.stores)
        for (int32_t j = 0; j < st.cap; ++j) n += st.counts[j] != 0;
    return n;
}

void sketch_collapse(SketchCore &s, int64_t max_buckets) noexcept {
    const int64_t extra = max_buckets > 0 ? sketch_buckets(s) - max_buckets : 0;
    if (extra <= 0) return;
    int64_t seen = 0;
    uint64_t folded = 0;
    walk(s, [&](Side, int32_t, uint64_t &c) {
        if (seen++ < extra) {
            folded += c;
            c = 0;
            return true;
        }
        c += folded;  // the lowest bucket kept
        return false;
    });
}

double sketch_quantile(const SketchCore &s, const Mapping &m, double q) noexcept {
    if (s.count == 0) return std::numeric_limits<double>::quiet_NaN();
    if (q == 1.0) return s.max;  // exactly, also where n - 1 rounds down in binary64
    // The rank as NumPy's "lower" method computes it: floor(q (n - 1)) in float64.
    const auto rank = static_cast<uint64_t>(static_cast<double>(s.count - 1) * q);
    if (rank == 0) return s.min;
    if (rank >= static_cast<uint64_t>(s.count - 1)) return s.max;
    if (rank < s.neg_inf) return -std::numeric_limits<double>::infinity();
    uint64_t below_rank = rank - s.neg_inf;  // elements still to pass
    double v = std::numeric_limits<double>::infinity();  // past the finite buckets: +inf
    walk(const_cast<SketchCore &>(s), [&](Side side, int32_t i, uint64_t &c) {
        if (below_rank >= c) {
            below_rank -= c;
            return true;
        }
        v = side == Side::Zero ? 0.0
            : side == Side::Positive ? m.representative(i) : -m.representative(i);
        return false;
    });
    return v < s.min ? s.min : v > s.max ? s.max : v;
}

namespace {

bool same_store(const DenseStore &a, const DenseStore &b) noexcept {
    const int32_t lo = a.first(), hi = a.last();
    if (lo > hi) return b.first() > b.last();
    if (b.first() != lo || b.last() != hi) return false;
    for (int32_t i = lo; i <= hi; ++i)
        if (a.at(i) != b.at(i)) return false;
    return true;
}

}  // namespace

bool sketch_equal(const SketchCore &a, const SketchCore &b) noexcept {
    return a.count == b.count && bits_of(a.min) == bits_of(b.min) &&
           bits_of(a.max) == bits_of(b.max) && a.zero == b.zero && a.neg_inf == b.neg_inf &&
           a.pos_inf == b.pos_inf && same_store(a.stores[0], b.stores[0]) &&
           same_store(a.stores[1], b.stores[1]);
}

}  // namespace vornel
