// Quantile sketches of many groups: small groups sparse in one arena, large ones dense.
#pragma once

#include <cstdint>

#include "sketch.hpp"

namespace vornel {

// Every bucket of a group has an ordinal that orders buckets by value in one int32:
// -inf, the negative store (index i at -(i + 1)), the zero bucket (0), the positive store
// (i + 1), +inf. Indices stay below 2046 * 2^20, so the ordinals never meet the ends.
inline constexpr int32_t kOrdNegInf = INT32_MIN;
inline constexpr int32_t kOrdPosInf = INT32_MAX;

// A bucket of a sparse group.
struct Entry {
    int32_t ord;
    uint32_t count;
};

// Layout "sparse, then dense": a group starts as a sorted run of entries in the shared
// arena (a slice [off, off + len) with room for cap); past kSparseMax entries, or a count
// past 2^32 - 1, it becomes a SketchCore of its own (cap == kDense, off its slot in
// `dense`). Groups of a few values then cost a 64-byte head and 8 bytes per bucket, with
// no allocation of their own; growing one moves its slice to the arena's end, and the
// space left behind is reclaimed by compaction. (The head is 64 bytes: 32 of count,
// extremes and slice, and the mirror of a dense group's stores.)
inline constexpr uint16_t kDense = 0xFFFF;
inline constexpr uint16_t kSparseMax = 64;

struct GroupHead {
    int64_t count;
    double min, max;
    uint32_t off;
    uint16_t len, cap;
    // A dense group's two stores as the add loop reaches them, mirrored from dense[off]:
    // the slot of a value is then one cache line away, the line its count and extremes
    // are in anyway. A sparse group's spans are 0, so no value finds a slot there.
    uint64_t *counts[2];
    int32_t lo[2];
    uint32_t span[2];
};
static_assert(sizeof(GroupHead) == 64, "a group's head is one cache line");

struct GroupedCore {
    int32_t top = 0;  // kExponents * k: the dense groups' index limit
    GroupHead *heads = nullptr;
    int64_t n_groups = 0;
    int64_t total = 0;  // values in all groups: while below 2^63 - 1, no group count can wrap
    Entry *arena = nullptr;
    uint64_t used = 0, size = 0, garbage = 0;  // in entries
    SketchCore *dense = nullptr;  // the dense groups, side by side (they move when it grows)
    uint32_t n_dense = 0, dense_cap = 0;

    // Grows to n groups (new ones empty); false when memory ran out, nothing changed.
    bool resize(int64_t n) noexcept;
    void release() noexcept;
    uint64_t bytes() const noexcept;  // memory held, heads, arena and dense groups
};

// Adds values[t] to group ids[t] for t < n (ids already checked to lie in range). NaN is
// skipped. Detached-safe. Returns the number of pairs taken, fewer than n only when
// memory ran out.
template <class Id>
int64_t grouped_sketch_add(GroupedCore &g, const Mapping &m, const char *ids, int64_t id_stride,
                           const char *vals, int64_t val_stride, int64_t n) noexcept;

// Adds b's groups into a's, group by group (same n_groups; a and b may be the same). False
// when memory ran out; the groups before stay merged.
bool grouped_sketch_merge(GroupedCore &a, const GroupedCore &b) noexcept;

// sketch_collapse for every group; then compacts the arena if much of it lies unused.
void grouped_collapse(GroupedCore &g, int64_t max_buckets) noexcept;
void grouped_compact(GroupedCore &g) noexcept;

// The non-empty buckets of a group or a sketch, in ascending order of value, as
// (ordinal, count) pairs: the one walk behind equality, merging and the stored form.
class BucketCursor {
public:
    BucketCursor(const GroupedCore &g, int64_t i) noexcept;
    explicit BucketCursor(const SketchCore &s) noexcept : dense_(&s) { start_dense(); }
    // The next bucket; false when there is none left.
    bool next(int32_t &ord, uint64_t &count) noexcept;

private:
    void start_dense() noexcept;
    const Entry *entries_ = nullptr;
    uint32_t len_ = 0, at_ = 0;
    const SketchCore *dense_ = nullptr;
    int phase_ = 0;  // dense: -inf, negative store, zero, positive store, +inf, done
    int32_t j_ = 0;
};

double group_quantile(const GroupedCore &g, const Mapping &m, int64_t i, double q) noexcept;
bool group_equal(const GroupedCore &a, int64_t i, const GroupedCore &b, int64_t j) noexcept;
int64_t group_buckets(const GroupedCore &g, int64_t i) noexcept;

// Adds count values to the bucket with ordinal ord of a sketch. False when memory ran out.
bool sketch_put(SketchCore &s, int32_t ord, uint64_t count) noexcept;

// Adds count values to group i's bucket ord (the stored form's loader and merge use it);
// the head's count and extremes are the caller's. False when memory ran out.
bool group_put(GroupedCore &g, int64_t i, int32_t ord, uint64_t count) noexcept;

// The bucket ordinal and answer of a dense group's store entry and of an ordinal.
inline int32_t ordinal(int side, int32_t index) noexcept {
    return side == 0 ? index + 1 : -(index + 1);
}

double ordinal_value(const Mapping &m, int32_t ord) noexcept;

}  // namespace vornel
