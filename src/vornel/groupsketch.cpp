// Quantile sketches of many groups: the arena, the sparse and dense groups, add and merge.
#include "groupsketch.hpp"

#include <Python.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "moments.hpp"

namespace vornel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint64_t kMaxArena = uint64_t{1} << 32;  // offsets are 32-bit

void min_max(GroupHead &h, double x) noexcept {
    if (below(x, h.min)) h.min = x;
    if (below(h.max, x)) h.max = x;
}

// The ordinal of a value that is not NaN.
int32_t ordinal_of(double x, const Mapping &m) noexcept {
    const uint64_t b = bits_of(x);
    const uint64_t e = (b >> 52) & 0x7FF;
    if (e - 1 < kExponents) return ordinal(static_cast<int>(b >> 63), bucket_index(b, m.kd, m.k));
    if (e == 0) return 0;
    return b >> 63 ? kOrdNegInf : kOrdPosInf;
}

}  // namespace

bool sketch_put(SketchCore &s, int32_t ord, uint64_t count) noexcept {
    if (ord == kOrdNegInf) {
        s.neg_inf += count;
    } else if (ord == kOrdPosInf) {
        s.pos_inf += count;
    } else if (ord == 0) {
        s.zero += count;
    } else {
        const int side = ord > 0 ? 0 : 1;
        const int32_t i = ord > 0 ? ord - 1 : -ord - 1;
        DenseStore &st = s.stores[side];
        if (static_cast<uint64_t>(static_cast<int64_t>(i) - st.lo) >=
                static_cast<uint64_t>(st.cap) && !st.cover(i, s.top))
            return false;
        st.counts[i - st.lo] += count;
    }
    return true;
}

namespace {

bool dense_put(SketchCore &s, int32_t ord, uint64_t count) noexcept {
    return sketch_put(s, ord, count);
}

// Copies dense group i's store extents into its head, after anything that may grow them.
void mirror(GroupedCore &g, int64_t i) noexcept {
    GroupHead &h = g.heads[i];
    if (h.cap != kDense) return;
    for (int side = 0; side < 2; ++side) {
        const DenseStore &st = g.dense[h.off].stores[side];
        h.counts[side] = st.counts;
        h.lo[side] = st.lo;
        h.span[side] = static_cast<uint32_t>(st.cap);
    }
}

// dense_put on group i, mirrored into its head.
bool group_dense_put(GroupedCore &g, int64_t i, int32_t ord, uint64_t count) noexcept {
    const bool ok = dense_put(g.dense[g.heads[i].off], ord, count);
    mirror(g, i);
    return ok;
}

// Room for cap entries at the arena's end: their offset, or kMaxArena when memory ran out.
uint64_t arena_take(GroupedCore &g, uint64_t cap) noexcept {
    if (g.used + cap > g.size) {
        if (g.garbage > g.used / 2) grouped_compact(g);
        if (g.used + cap > g.size) {
            uint64_t want = g.size + g.size / 2 + 256;
            if (want < g.used + cap) want = g.used + cap;
            if (want > kMaxArena) want = kMaxArena;
            if (g.used + cap > want) return kMaxArena;
            auto *grown = static_cast<Entry *>(PyMem_RawRealloc(g.arena, want * sizeof(Entry)));
            if (!grown) return kMaxArena;
            g.arena = grown;
            g.size = want;
        }
    }
    const uint64_t off = g.used;
    g.used += cap;
    return off;
}

// Turns sparse group i into a dense one. False when memory ran out (group unchanged).
bool to_dense(GroupedCore &g, int64_t i) noexcept {
    GroupHead &h = g.heads[i];
    if (g.n_dense == g.dense_cap) {
        const uint32_t cap = g.dense_cap ? g.dense_cap * 2 : 16;
        auto *grown = static_cast<SketchCore *>(PyMem_RawRealloc(g.dense, cap * sizeof(SketchCore)));
        if (!grown) return false;
        g.dense = grown;
        g.dense_cap = cap;
    }
    auto *s = new (g.dense + g.n_dense) SketchCore();
    s->top = g.top;
    for (uint32_t t = 0; t < h.len; ++t) {
        if (!dense_put(*s, g.arena[h.off + t].ord, g.arena[h.off + t].count)) {
            s->release();
            return false;
        }
    }
    g.garbage += h.cap;
    h.off = g.n_dense++;
    h.cap = kDense;
    h.len = 0;
    mirror(g, i);
    return true;
}

// Moves sparse group i's entries to a larger slice at the arena's end.
bool grow_sparse(GroupedCore &g, int64_t i) noexcept {
    GroupHead &h = g.heads[i];
    uint32_t cap = h.cap ? h.cap + h.cap / 2 + 1u : 2u;
    if (cap > kSparseMax) cap = kSparseMax;
    const uint64_t off = arena_take(g, cap);  // may compact, moving h.off
    if (off == kMaxArena) return false;
    if (h.len) std::memmove(g.arena + off, g.arena + h.off, h.len * sizeof(Entry));
    g.garbage += h.cap;
    h.off = static_cast<uint32_t>(off);
    h.cap = static_cast<uint16_t>(cap);
    return true;
}

}  // namespace

bool GroupedCore::resize(int64_t n) noexcept {
    if (n <= n_groups) return true;
    auto *grown = static_cast<GroupHead *>(
        PyMem_RawRealloc(heads, static_cast<size_t>(n) * sizeof(GroupHead)));
    if (!grown) return false;
    heads = grown;
    for (int64_t i = n_groups; i < n; ++i)
        heads[i] = GroupHead{0, kInf, -kInf, 0, 0, 0, {nullptr, nullptr}, {0, 0}, {0, 0}};
    n_groups = n;
    return true;
}

void GroupedCore::release() noexcept {
    for (uint32_t d = 0; d < n_dense; ++d) dense[d].release();
    PyMem_RawFree(dense);
    PyMem_RawFree(arena);
    PyMem_RawFree(heads);
    *this = GroupedCore();
}

uint64_t GroupedCore::bytes() const noexcept {
    uint64_t b = static_cast<uint64_t>(n_groups) * sizeof(GroupHead) + size * sizeof(Entry) +
                 dense_cap * sizeof(SketchCore);
    for (uint32_t d = 0; d < n_dense; ++d)
        b += 8 * static_cast<uint64_t>(dense[d].stores[0].cap + dense[d].stores[1].cap);
    return b;
}

bool group_put(GroupedCore &g, int64_t i, int32_t ord, uint64_t count) noexcept {
    GroupHead &h = g.heads[i];
    if (h.cap == kDense) return group_dense_put(g, i, ord, count);
    // Binary search of the sorted entries: the first with an ordinal not below ord.
    uint32_t lo = 0, hi = h.len;
    const Entry *e = g.arena + h.off;
    while (lo < hi) {
        const uint32_t mid = (lo + hi) / 2;
        if (e[mid].ord < ord)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < h.len && e[lo].ord == ord) {
        // count may pass 2^32 - 1 (a dense group merged in): compare on the entry's side.
        if (count <= UINT32_MAX - g.arena[h.off + lo].count) {
            g.arena[h.off + lo].count += static_cast<uint32_t>(count);
            return true;
        }
        return to_dense(g, i) && group_dense_put(g, i, ord, count);
    }
    if (h.len == kSparseMax || count > UINT32_MAX)
        return to_dense(g, i) && group_dense_put(g, i, ord, count);
    if (h.len == h.cap && !grow_sparse(g, i)) return false;
    Entry *at = g.arena + h.off + lo;
    std::memmove(at + 1, at, (h.len - lo) * sizeof(Entry));
    *at = Entry{ord, static_cast<uint32_t>(count)};
    ++h.len;
    return true;
}

namespace {

constexpr int64_t kRun = 64;  // values whose slots are found before any is counted

// The count slot of a value in a dense group, or null when its bucket lies outside the
// group's stores: always for a sparse group (whose mirrored spans are 0), and for zeros,
// infinities and NaN (whose indices lie outside every store).
inline uint64_t *dense_slot(const GroupHead &h, uint64_t b, int32_t i) noexcept {
    const auto side = static_cast<int>(b >> 63);
    const auto off = static_cast<uint64_t>(int64_t{i} - h.lo[side]);
    return off < h.span[side] ? h.counts[side] + off : nullptr;
}

// A sparse group that has taken this many values, over buckets this close together,
// turns dense: its values then take the fast path. A group of many values in a narrow
// range (say 1000 +- 20) would stay under kSparseMax buckets forever, each value searched
// and inserted among the entries. Few-value groups stay sparse; content is unchanged.
constexpr int64_t kDenseAfter = 256;
constexpr int64_t kDenseSpan = 512;

// Whether sparse group h is worth a dense store: many values, a narrow span of finite
// buckets (its entries are sorted by ordinal; infinities sit at the ends).
inline bool worth_dense(const GroupedCore &g, const GroupHead &h) noexcept {
    if (h.count < kDenseAfter || h.len == 0) return false;
    const Entry *e = g.arena + h.off;
    uint32_t a = 0, b = h.len;
    if (e[a].ord == kOrdNegInf) ++a;
    if (b > a && e[b - 1].ord == kOrdPosInf) --b;
    return b > a && int64_t{e[b - 1].ord} - e[a].ord < kDenseSpan;
}

// One value the fast path could not take: NaN, a sparse group, or a store that must grow.
// Returns -1 when memory ran out, 1 for NaN, 2 when the group's dense counts moved (or
// came to be), else 0.
inline int add_slow(GroupedCore &g, const Mapping &m, int64_t gid, double x) noexcept {
    if (x != x) return 1;  // NaN has no rank
    GroupHead &h = g.heads[gid];
    const bool dense = h.cap == kDense;
    const uint64_t *before[2] = {h.counts[0], h.counts[1]};
    const int32_t ord = ordinal_of(x, m);
    if (!(dense ? group_dense_put(g, gid, ord, 1) : group_put(g, gid, ord, 1))) return -1;
    ++h.count;
    min_max(h, x);
    // Out of memory there, the group stays sparse: it only stays slower.
    if (h.cap != kDense && worth_dense(g, h)) to_dense(g, gid);
    if (h.cap != kDense) return 0;
    return !dense || h.counts[0] != before[0] || h.counts[1] != before[1] ? 2 : 0;
}

}  // namespace

template <class Id>
int64_t grouped_sketch_add(GroupedCore &g, const Mapping &m, const char *ids, int64_t id_stride,
                           const char *vals, int64_t val_stride, int64_t n) noexcept {
    const double kd = m.kd;
    const int32_t k = m.k;
    int64_t t = 0, nans = 0;
    // A run's values, group ids and count slots, found before any is counted.
    double x[kRun];
    int64_t gid[kRun];
    uint64_t *slot[kRun];
    while (t < n) {
        const int64_t run = n - t < kRun ? n - t : kRun;
        // The counts of many groups outgrow the caches: finding all the run's slots first
        // lets their cache misses overlap, instead of one value's miss after another's.
        const char *vp = vals + t * val_stride, *ip = ids + t * id_stride;
        for (int64_t j = 0; j < run; ++j, vp += val_stride, ip += id_stride) {
            std::memcpy(&x[j], vp, sizeof(double));
            Id id;
            std::memcpy(&id, ip, sizeof id);
            gid[j] = static_cast<int64_t>(id);
            const uint64_t b = bits_of(x[j]);
            slot[j] = dense_slot(g.heads[gid[j]], b, bucket_index(b, kd, k));
            __builtin_prefetch(slot[j], 1);  // a null address is a harmless prefetch
        }
        for (int64_t j = 0; j < run; ++j) {
            GroupHead &h = g.heads[gid[j]];
            if (slot[j]) [[likely]] {
                ++*slot[j];
                ++h.count;
                if (x[j] < h.min) h.min = x[j];  // a dense slot holds normal values only
                if (x[j] > h.max) h.max = x[j];
                continue;
            }
            const int rc = add_slow(g, m, gid[j], x[j]);
            if (rc < 0) {
                g.total += t + j - nans;
                return t + j;
            }
            nans += rc == 1;
            if (rc == 2) {  // the group's counts moved: its later slots in the run are found again
                for (int64_t r = j + 1; r < run; ++r) {
                    if (gid[r] != gid[j]) continue;
                    const uint64_t b = bits_of(x[r]);
                    slot[r] = dense_slot(g.heads[gid[r]], b, bucket_index(b, kd, k));
                }
            }
        }
        t += run;
    }
    g.total += t - nans;
    return t;
}

template int64_t grouped_sketch_add<int32_t>(GroupedCore &, const Mapping &, const char *,
                                             int64_t, const char *, int64_t, int64_t) noexcept;
template int64_t grouped_sketch_add<int64_t>(GroupedCore &, const Mapping &, const char *,
                                             int64_t, const char *, int64_t, int64_t) noexcept;

namespace {

// Doubles every count of group i (a group merged with itself).
bool double_group(GroupedCore &g, int64_t i) noexcept {
    GroupHead &h = g.heads[i];
    if (h.cap != kDense) {
        for (uint32_t t = 0; t < h.len; ++t)
            if (g.arena[h.off + t].count > UINT32_MAX / 2 && !to_dense(g, i)) return false;
    }
    if (h.cap == kDense) {
        SketchCore &s = g.dense[h.off];
        s.zero *= 2;
        s.neg_inf *= 2;
        s.pos_inf *= 2;
        for (DenseStore &st : s.stores)
            for (int32_t j = 0; j < st.cap; ++j) st.counts[j] *= 2;
    } else {
        for (uint32_t t = 0; t < h.len; ++t) g.arena[h.off + t].count *= 2;
    }
    return true;
}

}  // namespace

namespace {

bool holds(const DenseStore &st, int32_t i) noexcept {
    return static_cast<uint64_t>(int64_t{i} - st.lo) < static_cast<uint64_t>(st.cap);
}

// Widens a dense group's stores to every finite bucket of b's group j, so that adding them
// allocates nothing. False when memory ran out (counts unchanged: covering only widens).
bool reserve_dense(SketchCore &s, const GroupedCore &b, int64_t j) noexcept {
    int32_t lo[2] = {INT32_MAX, INT32_MAX}, hi[2] = {-1, -1};
    BucketCursor cur(b, j);
    int32_t ord;
    uint64_t count;
    while (cur.next(ord, count)) {
        if (ord == kOrdNegInf || ord == kOrdPosInf || ord == 0) continue;
        const int side = ord > 0 ? 0 : 1;
        const int32_t i = ord > 0 ? ord - 1 : -ord - 1;
        lo[side] = std::min(lo[side], i);
        hi[side] = std::max(hi[side], i);
    }
    for (int side = 0; side < 2; ++side) {
        DenseStore &st = s.stores[side];
        if (hi[side] < 0) continue;
        if (!holds(st, lo[side]) && !st.cover(lo[side], s.top)) return false;
        if (!holds(st, hi[side]) && !st.cover(hi[side], s.top)) return false;
    }
    return true;
}

// Prepares group i of a to take b's group j with no allocation: room in its slice for the
// new entries, or (past kSparseMax entries or 2^32 - 1 in one) a dense store covering
// them. False when memory ran out, the group's buckets unchanged.
bool reserve_group(GroupedCore &a, int64_t i, const GroupedCore &b, int64_t j) noexcept {
    GroupHead &h = a.heads[i];
    if (h.cap != kDense) {
        const Entry *e = a.arena + h.off;
        uint64_t fresh = 0;
        bool wide = false;
        uint32_t t = 0;
        BucketCursor cur(b, j);
        int32_t ord;
        uint64_t count;
        while (cur.next(ord, count)) {
            while (t < h.len && e[t].ord < ord) ++t;
            const uint64_t have = t < h.len && e[t].ord == ord ? e[t].count : 0;
            fresh += have == 0;
            wide |= count > UINT32_MAX - have;
        }
        if (!wide && h.len + fresh <= kSparseMax) {
            while (h.cap < h.len + fresh)
                if (!grow_sparse(a, i)) return false;
            return true;
        }
        if (!to_dense(a, i)) return false;
    }
    const bool ok = reserve_dense(a.dense[h.off], b, j);
    mirror(a, i);
    return ok;
}

}  // namespace

bool grouped_sketch_merge(GroupedCore &a, const GroupedCore &b) noexcept {
    const bool same = &a == &b;
    for (int64_t i = 0; i < a.n_groups; ++i) {
        const GroupHead hb = b.heads[i];
        if (hb.count == 0) continue;
        if (same) {
            if (!double_group(a, i)) return false;
        } else {
            // Room first, so that a group is merged whole or not at all.
            if (!reserve_group(a, i, b, i)) return false;
            BucketCursor cur(b, i);
            int32_t ord;
            uint64_t count;
            while (cur.next(ord, count)) group_put(a, i, ord, count);
        }
        GroupHead &ha = a.heads[i];
        ha.count += hb.count;
        a.total += hb.count;  // per group: the groups before a failure stay counted
        if (below(hb.min, ha.min)) ha.min = hb.min;
        if (below(ha.max, hb.max)) ha.max = hb.max;
    }
    return true;
}

int64_t group_buckets(const GroupedCore &g, int64_t i) noexcept {
    const GroupHead &h = g.heads[i];
    if (h.cap == kDense) return sketch_buckets(g.dense[h.off]);
    int64_t n = 0;
    for (uint32_t t = 0; t < h.len; ++t) {
        const int32_t ord = g.arena[h.off + t].ord;
        n += ord != kOrdNegInf && ord != kOrdPosInf;
    }
    return n;
}

void grouped_collapse(GroupedCore &g, int64_t max_buckets) noexcept {
    for (int64_t i = 0; max_buckets > 0 && i < g.n_groups; ++i) {
        GroupHead &h = g.heads[i];
        if (h.cap == kDense) {
            sketch_collapse(g.dense[h.off], max_buckets);
            continue;
        }
        const int64_t extra = group_buckets(g, i) - max_buckets;
        if (extra <= 0) continue;
        // Entries are in value order; -inf, if held, comes first and stays.
        Entry *e = g.arena + h.off;
        const uint32_t from = h.len && e[0].ord == kOrdNegInf ? 1 : 0;
        const auto to = static_cast<uint32_t>(from + extra);  // the lowest bucket kept
        uint64_t folded = 0;
        for (uint32_t t = from; t < to; ++t) folded += e[t].count;
        if (folded > UINT32_MAX - e[to].count) {  // folded may pass 2^32 - 1 itself
            if (to_dense(g, i)) sketch_collapse(g.dense[h.off], max_buckets);
            continue;  // out of memory: the group stays as it was, uncollapsed
        }
        e[to].count += static_cast<uint32_t>(folded);
        std::memmove(e + from, e + to, (h.len - to) * sizeof(Entry));
        h.len = static_cast<uint16_t>(h.len - (to - from));
    }
}

namespace {

// The room a group of len entries keeps after compaction: a quarter more, so that the
// next few new buckets do not move it (and refill the arena with garbage at once).
uint16_t room(uint16_t len) noexcept {
    const uint32_t cap = len + len / 4u + 1u;
    return static_cast<uint16_t>(cap < kSparseMax ? cap : kSparseMax);
}

}  // namespace

void grouped_compact(GroupedCore &g) noexcept {
    uint64_t want = 256;
    for (int64_t i = 0; i < g.n_groups; ++i)
        if (g.heads[i].cap != kDense && g.heads[i].len) want += room(g.heads[i].len);
    auto *fresh = static_cast<Entry *>(PyMem_RawMalloc(want * sizeof(Entry)));
    if (!fresh) return;  // the arena stays as it is, garbage and all
    uint64_t at = 0;
    for (int64_t i = 0; i < g.n_groups; ++i) {
        GroupHead &h = g.heads[i];
        if (h.cap == kDense) continue;
        const uint16_t cap = h.len ? room(h.len) : 0;
        if (h.len) std::memcpy(fresh + at, g.arena + h.off, h.len * sizeof(Entry));  // arena may be null
        h.off = static_cast<uint32_t>(at);
        h.cap = cap;
        at += cap;
    }
    PyMem_RawFree(g.arena);
    g.arena = fresh;
    g.size = want;
    g.used = at;
    g.garbage = 0;
}

double ordinal_value(const Mapping &m, int32_t ord) noexcept {
    if (ord == kOrdNegInf) return -kInf;
    if (ord == kOrdPosInf) return kInf;
    if (ord == 0) return 0.0;
    return ord > 0 ? m.representative(ord - 1) : -m.representative(-ord - 1);
}

double group_quantile(const GroupedCore &g, const Mapping &m, int64_t i, double q) noexcept {
    const GroupHead &h = g.heads[i];
    if (h.count == 0) return std::numeric_limits<double>::quiet_NaN();
    if (q == 1.0) return h.max;  // exactly, also where n - 1 rounds down in binary64
    const auto rank = static_cast<uint64_t>(static_cast<double>(h.count - 1) * q);
    if (rank == 0) return h.min;
    if (rank >= static_cast<uint64_t>(h.count - 1)) return h.max;
    BucketCursor cur(g, i);
    int32_t ord;
    uint64_t count, passed = 0;
    double v = kInf;
    while (cur.next(ord, count)) {
        if (rank < passed + count) {
            v = ordinal_value(m, ord);
            break;
        }
        passed += count;
    }
    return v < h.min ? h.min : v > h.max ? h.max : v;
}

bool group_equal(const GroupedCore &a, int64_t i, const GroupedCore &b, int64_t j) noexcept {
    const GroupHead &x = a.heads[i], &y = b.heads[j];
    if (x.count != y.count || bits_of(x.min) != bits_of(y.min) ||
        bits_of(x.max) != bits_of(y.max))
        return false;
    BucketCursor p(a, i), q(b, j);
    int32_t po, qo;
    uint64_t pc, qc;
    for (;;) {
        const bool pm = p.next(po, pc), qm = q.next(qo, qc);
        if (pm != qm) return false;
        if (!pm) return true;
        if (po != qo || pc != qc) return false;
    }
}

BucketCursor::BucketCursor(const GroupedCore &g, int64_t i) noexcept {
    const GroupHead &h = g.heads[i];
    if (h.cap == kDense) {
        dense_ = &g.dense[h.off];
        start_dense();
    } else {
        entries_ = g.arena + h.off;
        len_ = h.len;
    }
}

namespace {

bool emit(int32_t o, uint64_t c, int32_t &ord, uint64_t &count) noexcept {
    ord = o;
    count = c;
    return true;
}

}  // namespace

void BucketCursor::start_dense() noexcept {
    phase_ = 0;
    j_ = dense_->stores[1].cap - 1;
}

bool BucketCursor::next(int32_t &ord, uint64_t &count) noexcept {
    if (!dense_) {
        if (at_ == len_) return false;
        ord = entries_[at_].ord;
        count = entries_[at_++].count;
        return true;
    }
    const SketchCore &s = *dense_;
    for (;;) {
        switch (phase_) {
            case 0:
                phase_ = 1;
                if (s.neg_inf) return emit(kOrdNegInf, s.neg_inf, ord, count);
                break;
            case 1: {
                const DenseStore &st = s.stores[1];
                while (j_ >= 0 && !st.counts[j_]) --j_;
                if (j_ >= 0) {
                    ord = ordinal(1, st.lo + j_);
                    count = st.counts[j_--];
                    return true;
                }
                phase_ = 2;
                break;
            }
            case 2:
                phase_ = 3;
                j_ = 0;
                if (s.zero) return emit(0, s.zero, ord, count);
                break;
            case 3: {
                const DenseStore &st = s.stores[0];
                while (j_ < st.cap && !st.counts[j_]) ++j_;
                if (j_ < st.cap) {
                    ord = ordinal(0, st.lo + j_);
                    count = st.counts[j_++];
                    return true;
                }
                phase_ = 4;
                break;
            }
            case 4:
                phase_ = 5;
                if (s.pos_inf) return emit(kOrdPosInf, s.pos_inf, ord, count);
                break;
            default:
                return false;
        }
    }
}

}  // namespace vornel
