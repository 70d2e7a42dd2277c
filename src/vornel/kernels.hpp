// The detached loops shared by the accumulators and the state companion: stream, grouped, merge.
// They touch no Python object. SkipNaN drops NaN values inside the loop (no mask, no copy);
// without it NaN is folded in like any value.
#pragma once

#include <cstdint>

#include "moments.hpp"

namespace vornel {

inline bool is_nan(double x) noexcept { return x != x; }

// Values among n doubles at data that a fold would count.
template <bool SkipNaN>
inline int64_t countable(const char *data, int64_t n, int64_t stride) noexcept {
    if constexpr (!SkipNaN) return n;
    int64_t k = 0;
    for (int64_t i = 0; i < n; ++i) k += !is_nan(load_at<double>(data, i, stride));
    return k;
}

// Whether folding n doubles at data into r keeps its count representable. O(1) unless r is
// within n of the limit and NaN may be skipped.
template <bool SkipNaN>
inline bool stream_fits(const Moments &r, const char *data, int64_t n, int64_t stride) noexcept {
    return r.count <= kMaxCount - n || r.count <= kMaxCount - countable<SkipNaN>(data, n, stride);
}

// Folds n doubles at data, stride bytes apart, in index order; the caller has checked
// stream_fits. The contiguous branch lets the compiler drop the stride multiply; the record
// stays in registers until the end.
template <bool SkipNaN = false>
inline void stream_fold(Moments &r, const char *data, int64_t n, int64_t stride) noexcept {
    Moments m = r;
    if (stride == static_cast<int64_t>(sizeof(double))) {
        for (int64_t i = 0; i < n; ++i) {
            const double x = load_at<double>(data, i, 8);
            if (SkipNaN && is_nan(x)) continue;
            moments_update(m, x);
        }
    } else {
        for (int64_t i = 0; i < n; ++i) {
            const double x = load_at<double>(data, i, stride);
            if (SkipNaN && is_nan(x)) continue;
            moments_update(m, x);
        }
    }
    r = m;
}

// Folds K streams at once into their own records, interleaved element by element so the
// core runs K independent update chains: each chain is bound by the latency of its
// division, not by the core's throughput, so a core keeps several in flight. Each record
// gets its stream's values in index order, so its bits equal those of stream_fold alone.
// The records start as given; the caller has checked stream_fits for each.
template <int K, bool SkipNaN = false>
inline void stream_fold_interleaved(Moments *recs, const char *const *data, const int64_t *n,
                                    const int64_t *stride) noexcept {
    Moments m[K];
    int64_t common = n[0];
    for (int k = 0; k < K; ++k) {
        m[k] = recs[k];
        if (n[k] < common) common = n[k];
    }
    for (int64_t i = 0; i < common; ++i) {
        for (int k = 0; k < K; ++k) {
            const double x = load_at<double>(data[k], i, stride[k]);
            if (SkipNaN && is_nan(x)) continue;
            moments_update(m[k], x);
        }
    }
    for (int k = 0; k < K; ++k) {
        recs[k] = m[k];  // the tails, one stream at a time
        stream_fold<SkipNaN>(recs[k], data[k] + common * stride[k], n[k] - common, stride[k]);
    }
}

// Up to four streams at once (kMaxInterleave); see stream_fold_interleaved.
inline constexpr int kMaxInterleave = 4;

template <bool SkipNaN = false>
inline void stream_fold_some(Moments *recs, const char *const *data, const int64_t *n,
                             const int64_t *stride, int k) noexcept {
    switch (k) {
    case 4: stream_fold_interleaved<4, SkipNaN>(recs, data, n, stride); return;
    case 3: stream_fold_interleaved<3, SkipNaN>(recs, data, n, stride); return;
    case 2: stream_fold_interleaved<2, SkipNaN>(recs, data, n, stride); return;
    case 1: stream_fold<SkipNaN>(recs[0], data[0], n[0], stride[0]); return;
    default: return;
    }
}

// Merges b[i] into a[i] for i in [0, n) in ascending order (a and b may be the same array).
// Stops before the first pair whose count would pass the limit and returns its index, or -1;
// the records before it stay merged.
inline int64_t merge_all(Moments *a, const Moments *b, int64_t n) noexcept {
    for (int64_t i = 0; i < n; ++i) {
        if (!merge_fits(a[i], b[i])) return i;
        moments_merge(a[i], b[i]);
    }
    return -1;
}

// ---------------------------------------------------------------------------------------
// The grouped kernel. Only the order of updates within one group is fixed, so the kernel may
// hold the current group's record in registers across a run of equal ids (data ordered by
// key) and, for record arrays far beyond cache, prefetch the records of ids a little ahead.
// It picks per block from what the previous block showed.

namespace grouped_detail {

constexpr int64_t kBlock = 256;
constexpr int64_t kPrefetchAhead = 32;
constexpr int64_t kFarBytes = int64_t{1} << 20;  // beyond L2: misses dominate, prefetch pays

struct Span {
    Moments *aggs;
    int64_t n_groups;
    const char *ids;
    const char *vals;
};

struct BlockEnd {
    int64_t stop;     // position of the first element not folded in, or -1
    int64_t repeats;  // elements whose id equals the previous element's
};

inline bool in_range(int64_t gid, int64_t n_groups) noexcept {
    return static_cast<uint64_t>(gid) < static_cast<uint64_t>(n_groups);
}

// Runs of equal ids: the record stays in locals until the id changes.
template <class Id, bool SkipNaN>
[[gnu::always_inline]] inline BlockEnd block_runs(const Span &s, int64_t begin, int64_t end,
                                                  int64_t id_stride, int64_t val_stride,
                                                  int64_t &stop_gid) noexcept {
    int64_t cur = load_at<Id>(s.ids, begin, id_stride);
    if (!in_range(cur, s.n_groups)) {
        stop_gid = cur;
        return {begin, 0};
    }
    Moments m = s.aggs[cur];
    int64_t repeats = 0;
    for (int64_t i = begin; i < end; ++i) {
        const int64_t gid = load_at<Id>(s.ids, i, id_stride);
        if (gid != cur) {
            s.aggs[cur] = m;
            if (!in_range(gid, s.n_groups)) {
                stop_gid = gid;
                return {i, repeats};
            }
            cur = gid;
            m = s.aggs[cur];
        } else {
            ++repeats;
        }
        const double x = load_at<double>(s.vals, i, val_stride);
        if (SkipNaN && is_nan(x)) continue;
        if (m.count == kMaxCount) {
            s.aggs[cur] = m;
            stop_gid = cur;
            return {i, repeats};
        }
        moments_update(m, x);
    }
    s.aggs[cur] = m;
    return {-1, repeats};
}

// Scattered ids: update each record in memory; optionally prefetch records ahead.
template <class Id, bool Prefetch, bool SkipNaN>
[[gnu::always_inline]] inline BlockEnd block_scatter(const Span &s, int64_t begin, int64_t end,
                                                     int64_t n, int64_t id_stride,
                                                     int64_t val_stride,
                                                     int64_t &stop_gid) noexcept {
    int64_t prev = begin > 0 ? load_at<Id>(s.ids, begin - 1, id_stride) : -1;
    int64_t repeats = 0;
    for (int64_t i = begin; i < end; ++i) {
        if constexpr (Prefetch) {
            if (i + kPrefetchAhead < n) {
                const int64_t ahead = load_at<Id>(s.ids, i + kPrefetchAhead, id_stride);
                // A bad id ahead is reported when reached; prefetch a valid record meanwhile.
                const char *rec = reinterpret_cast<const char *>(
                    s.aggs + (in_range(ahead, s.n_groups) ? ahead : 0));
                __builtin_prefetch(rec, 1, 3);
                __builtin_prefetch(rec + sizeof(Moments) - 1, 1, 3);
            }
        }
        const int64_t gid = load_at<Id>(s.ids, i, id_stride);
        if (!in_range(gid, s.n_groups)) {
            stop_gid = gid;
            return {i, repeats};
        }
        repeats += gid == prev;
        prev = gid;
        const double x = load_at<double>(s.vals, i, val_stride);
        if (SkipNaN && is_nan(x)) continue;
        Moments &r = s.aggs[gid];
        if (r.count == kMaxCount) {
            stop_gid = gid;
            return {i, repeats};
        }
        moments_update(r, x);
    }
    return {-1, repeats};
}

template <class Id, bool Prefetch, bool SkipNaN>
[[gnu::always_inline]] inline int64_t add_blocks(const Span &s, int64_t n, int64_t id_stride,
                                                 int64_t val_stride, int64_t &stop_gid) noexcept {
    bool runs = false;
    for (int64_t begin = 0; begin < n; begin += kBlock) {
        const int64_t end = begin + kBlock < n ? begin + kBlock : n;
        const BlockEnd b =
            runs ? block_runs<Id, SkipNaN>(s, begin, end, id_stride, val_stride, stop_gid)
                 : block_scatter<Id, Prefetch, SkipNaN>(s, begin, end, n, id_stride, val_stride,
                                                        stop_gid);
        if (b.stop >= 0) return b.stop;
        // Mostly repeated ids: registers win; otherwise the extra store and load per switch
        // would cost more than the in-memory update.
        runs = 4 * b.repeats > 3 * (end - begin);
    }
    return -1;
}

}  // namespace grouped_detail

// Folds values[i] into aggs[ids[i]] in index order within each group. Stops at the first
// element whose id lies outside [0, n_groups) or whose group's count is at the limit, and
// returns its position with that id in stop_gid (in range: the count stopped it); -1 when
// every element was folded. Runs detached.
template <class Id, bool SkipNaN = false>
int64_t grouped_fold(Moments *aggs, int64_t n_groups, const char *ids, int64_t id_stride,
                     const char *vals, int64_t val_stride, int64_t n, int64_t &stop_gid) noexcept {
    using namespace grouped_detail;
    const Span s{aggs, n_groups, ids, vals};
    const bool far = n_groups > kFarBytes / static_cast<int64_t>(sizeof(Moments));
    constexpr int64_t kId = sizeof(Id);
    // Constant strides for the contiguous case let the compiler drop the multiplies.
    if (id_stride == kId && val_stride == 8)
        return far ? add_blocks<Id, true, SkipNaN>(s, n, kId, 8, stop_gid)
                   : add_blocks<Id, false, SkipNaN>(s, n, kId, 8, stop_gid);
    return far ? add_blocks<Id, true, SkipNaN>(s, n, id_stride, val_stride, stop_gid)
               : add_blocks<Id, false, SkipNaN>(s, n, id_stride, val_stride, stop_gid);
}

}  // namespace vornel
