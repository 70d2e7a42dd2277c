// The stored form of quantile sketches: writing payloads and checking them before use.
#include "sketchformat.hpp"

#include <cstring>
#include <limits>

namespace vornel {
namespace {

constexpr uint64_t kMaxGroups = 0x7FFFFFFF;
constexpr uint64_t kInfBits = 0x7FF0000000000000u;
constexpr uint64_t kNegInfBits = 0xFFF0000000000000u;

// Little-endian, byte by byte: payloads come from anywhere, aligned or not.
uint64_t load_le(const unsigned char *p, size_t n) noexcept {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = v << 8 | p[i];
    return v;
}

unsigned char *store_le(unsigned char *p, uint64_t v, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i, v >>= 8) p[i] = static_cast<unsigned char>(v & 0xFF);
    return p + n;
}

bool valid_ordinal(int32_t ord, int32_t k) noexcept {
    if (ord == kOrdNegInf || ord == kOrdPosInf || ord == 0) return true;
    const int64_t top = int64_t{kExponents} * k;  // indices run 0 .. top - 1
    const int64_t mag = ord > 0 ? ord : -int64_t{ord};
    return mag >= 1 && mag <= top;
}

// The extremes of a group against its count and its infinite buckets.
bool valid_extremes(int64_t count, double min, double max, bool neg_inf, bool pos_inf) noexcept {
    if (count == 0) return bits_of(min) == kInfBits && bits_of(max) == kNegInfBits;
    if (min != min || max != max || below(max, min)) return false;
    const double inf = std::numeric_limits<double>::infinity();
    return neg_inf == (min == -inf) && pos_inf == (max == inf);
}

// Checks one group at p (with end the payload's end); advances p past it.
SketchFault check_group(const unsigned char *&p, const unsigned char *end,
                        const SketchInfo &info) noexcept {
    if (static_cast<size_t>(end - p) < kGroupHeaderSize) return SketchFault::Truncated;
    const auto count = static_cast<int64_t>(load_le(p, 8));
    const double min = double_of(load_le(p + 8, 8)), max = double_of(load_le(p + 16, 8));
    const uint64_t buckets = load_le(p + 24, 4);
    p += kGroupHeaderSize;
    if (count < 0) return SketchFault::BadCount;
    if (buckets > static_cast<size_t>(end - p) / kBucketSize) return SketchFault::Truncated;
    uint64_t sum = 0, finite = 0;
    bool neg_inf = false, pos_inf = false;
    int64_t prev = int64_t{INT32_MIN} - 1;
    for (uint64_t t = 0; t < buckets; ++t, p += kBucketSize) {
        const auto ord = static_cast<int32_t>(static_cast<uint32_t>(load_le(p, 4)));
        const uint64_t c = load_le(p + 4, 8);
        if (ord <= prev || c == 0 || !valid_ordinal(ord, info.k)) return SketchFault::BadBucket;
        prev = ord;
        if (c > static_cast<uint64_t>(count) - sum) return SketchFault::BadCount;
        sum += c;
        neg_inf |= ord == kOrdNegInf;
        pos_inf |= ord == kOrdPosInf;
        finite += ord != kOrdNegInf && ord != kOrdPosInf;
    }
    if (sum != static_cast<uint64_t>(count)) return SketchFault::BadCount;
    if (!valid_extremes(count, min, max, neg_inf, pos_inf)) return SketchFault::BadExtremes;
    if (info.max_buckets && finite > info.max_buckets) return SketchFault::TooManyBuckets;
    return SketchFault::None;
}

}  // namespace

SketchFault check_sketch(const unsigned char *data, size_t len, SketchInfo &out) noexcept {
    if (len < kSketchHeaderSize) return SketchFault::Truncated;
    const uint64_t k = load_le(data, 4);
    if (k < 1 || k > static_cast<uint64_t>(kMaxK) || load_le(data + 4, 4) != 0)
        return SketchFault::BadK;
    // The objects keep max_buckets in an int64, as their constructors take it.
    if (load_le(data + 8, 8) > static_cast<uint64_t>(INT64_MAX)) return SketchFault::BadLimit;
    SketchInfo info{static_cast<int32_t>(k), load_le(data + 8, 8), load_le(data + 16, 8)};
    if (info.n_groups > kMaxGroups) return SketchFault::BadGroups;
    const unsigned char *p = data + kSketchHeaderSize, *end = data + len;
    uint64_t total = 0;
    for (uint64_t g = 0; g < info.n_groups; ++g) {
        const unsigned char *head = p;
        if (const SketchFault f = check_group(p, end, info); f != SketchFault::None) return f;
        const uint64_t count = load_le(head, 8);
        // All groups together must fit a count, as the grouped add's overflow check assumes.
        if (count > static_cast<uint64_t>(INT64_MAX) - total) return SketchFault::BadCount;
        total += count;
    }
    if (p != end) return SketchFault::Trailing;
    out = info;
    return SketchFault::None;
}

const char *sketch_fault_message(SketchFault f) noexcept {
    switch (f) {
        case SketchFault::None:
            return "valid sketch";
        case SketchFault::Truncated:
            return "truncated sketch: fewer bytes than its groups and buckets need";
        case SketchFault::BadK:
            return "corrupted sketch: buckets per power of two outside 1 to 2**20, or reserved "
                   "bytes not 0";
        case SketchFault::BadLimit:
            return "corrupted sketch: max_buckets above 2**63 - 1";
        case SketchFault::BadGroups:
            return "inconsistent sketch: more than 2**31 - 1 groups";
        case SketchFault::BadCount:
            return "inconsistent sketch: bucket counts that do not add up to the count";
        case SketchFault::BadExtremes:
            return "inconsistent sketch: min and max that its count and buckets cannot have";
        case SketchFault::BadBucket:
            return "corrupted sketch: a bucket out of range or out of order, or empty";
        case SketchFault::TooManyBuckets:
            return "inconsistent sketch: more buckets than its max_buckets";
        case SketchFault::Trailing:
            return "inconsistent sketch: bytes after its last group";
    }
    return "invalid sketch";
}

void GroupReader::next(int64_t &count, double &min, double &max, uint32_t &buckets) noexcept {
    count = static_cast<int64_t>(load_le(p_, 8));
    min = double_of(load_le(p_ + 8, 8));
    max = double_of(load_le(p_ + 16, 8));
    buckets = static_cast<uint32_t>(load_le(p_ + 24, 4));
    p_ += kGroupHeaderSize;
}

void GroupReader::bucket(int32_t &ord, uint64_t &count) noexcept {
    ord = static_cast<int32_t>(static_cast<uint32_t>(load_le(p_, 4)));
    count = load_le(p_ + 4, 8);
    p_ += kBucketSize;
}

size_t group_bytes(uint64_t buckets) noexcept {
    return kGroupHeaderSize + kBucketSize * static_cast<size_t>(buckets);
}

unsigned char *write_header(unsigned char *out, const SketchInfo &info) noexcept {
    out = store_le(out, static_cast<uint64_t>(info.k), 4);
    out = store_le(out, 0, 4);
    out = store_le(out, info.max_buckets, 8);
    return store_le(out, info.n_groups, 8);
}

unsigned char *write_group(unsigned char *out, int64_t count, double min, double max,
                           BucketCursor cur, uint64_t buckets) noexcept {
    out = store_le(out, static_cast<uint64_t>(count), 8);
    out = store_le(out, bits_of(min), 8);
    out = store_le(out, bits_of(max), 8);
    out = store_le(out, buckets, 4);
    int32_t ord;
    uint64_t c;
    while (cur.next(ord, c)) {
        out = store_le(out, static_cast<uint32_t>(ord), 4);
        out = store_le(out, c, 8);
    }
    return out;
}

uint64_t cursor_buckets(BucketCursor cur) noexcept {
    uint64_t n = 0;
    int32_t ord;
    uint64_t c;
    while (cur.next(ord, c)) ++n;
    return n;
}

bool load_groups(GroupedCore &g, const unsigned char *data, const SketchInfo &info) noexcept {
    g.top = kExponents * info.k;
    if (!g.resize(static_cast<int64_t>(info.n_groups))) return false;
    GroupReader r(data);
    for (int64_t i = 0; i < g.n_groups; ++i) {
        GroupHead &h = g.heads[i];
        uint32_t buckets;
        r.next(h.count, h.min, h.max, buckets);
        g.total += h.count;
        for (uint32_t t = 0; t < buckets; ++t) {
            int32_t ord;
            uint64_t count;
            r.bucket(ord, count);
            if (!group_put(g, i, ord, count)) return false;
        }
    }
    grouped_compact(g);  // loaded groups fit their buckets exactly
    return true;
}

}  // namespace vornel
