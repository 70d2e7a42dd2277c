// The stored form of quantile sketches: a payload writer and a checking parser.
#pragma once

#include <cstddef>
#include <cstdint>

#include "groupsketch.hpp"

namespace vornel {

// Payload (inside the state envelope, kinds 5 and 6; every integer little-endian):
//   0   4  k, buckets per power of two (1 to 2^20)
//   4   4  reserved, 0
//   8   8  max_buckets (0: no limit; at most 2^63 - 1)
//   16  8  number of groups (1 for a single sketch; a grouped one may have 0, as take makes)
//   24     the groups, one after another:
//          0  8  count (signed), 8 8 min, 16 8 max (binary64; +inf and -inf when empty)
//          24 4  number of buckets b
//          28 12 * b  the non-empty buckets in ascending order of value: ordinal (int32),
//                count (uint64)
// Only non-empty buckets are written, so equal sketches give equal bytes however their
// stores grew.
inline constexpr size_t kSketchHeaderSize = 24;
inline constexpr size_t kGroupHeaderSize = 28;
inline constexpr size_t kBucketSize = 12;

enum class SketchFault : uint8_t {
    None,
    Truncated,      // fewer bytes than the header, groups and buckets announce
    BadK,           // k outside 1 to 2^20, or reserved bytes not 0
    BadLimit,       // max_buckets above 2^63 - 1, which no sketch can hold
    BadGroups,      // more than 2^31 - 1 groups (a single sketch has exactly 1: its loader checks)
    BadCount,       // a negative count, or bucket counts that do not add up to it
    BadExtremes,    // NaN extremes, min above max, or not those of an empty group
    BadBucket,      // an ordinal out of range or out of order, or a count of 0
    TooManyBuckets, // more buckets than max_buckets
    Trailing,       // bytes after the last group
};

struct SketchInfo {
    int32_t k;
    uint64_t max_buckets;
    uint64_t n_groups;
};

// Pure: reads only data[0, len), allocates nothing; safe to fuzz. On None, every group and
// bucket lies inside data and keeps the invariants the sketches rely on.
SketchFault check_sketch(const unsigned char *data, size_t len, SketchInfo &out) noexcept;
const char *sketch_fault_message(SketchFault f) noexcept;

// Reads the groups of a checked payload one at a time.
class GroupReader {
public:
    explicit GroupReader(const unsigned char *data) noexcept : p_(data + kSketchHeaderSize) {}
    // The next group's head; then bucket(t) for t < buckets.
    void next(int64_t &count, double &min, double &max, uint32_t &buckets) noexcept;
    void bucket(int32_t &ord, uint64_t &count) noexcept;

private:
    const unsigned char *p_;
};

// Loads a checked grouped payload into an empty core (its groups, counts and buckets, the
// arena compacted). False when memory ran out; g must be released either way.
bool load_groups(GroupedCore &g, const unsigned char *data, const SketchInfo &info) noexcept;

// The bytes of a group: count, extremes and the buckets a cursor gives.
size_t group_bytes(uint64_t buckets) noexcept;
unsigned char *write_header(unsigned char *out, const SketchInfo &info) noexcept;
unsigned char *write_group(unsigned char *out, int64_t count, double min, double max,
                           BucketCursor cur, uint64_t buckets) noexcept;

// Non-empty buckets a cursor gives, infinities included (what write_group writes).
uint64_t cursor_buckets(BucketCursor cur) noexcept;

}  // namespace vornel
