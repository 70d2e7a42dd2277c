// libFuzzer harness for quantile sketch payloads: checked, then loaded, written back, queried,
// merged and collapsed, each against a plain model of the documented layout.
//
//   clang++ -std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined \
//       -isystem "$(python3.14 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" \
//       -Isrc/vornel tests/fuzz/fuzz_sketch.cpp src/vornel/sketchformat.cpp \
//       src/vornel/groupsketch.cpp src/vornel/sketch.cpp src/vornel/sketchmap.cpp -o fuzz_sketch
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "groupsketch.hpp"
#include "sketchformat.hpp"

using vornel::BucketCursor;
using vornel::GroupedCore;
using vornel::GroupHead;
using vornel::SketchCore;
using vornel::SketchFault;
using vornel::SketchInfo;

// ---------------------------------------------------------------------------------------
// Memory: the sketches allocate through PyMem_Raw*, defined here on malloc so that no
// interpreter is needed. Each input gets a budget, so a payload whose dense group would span
// gigabytes takes the out-of-memory path (as a real load may) instead of stalling the run;
// a countdown can also fail one chosen request, to walk the failure paths.

namespace {

constexpr size_t kBudget = size_t{32} << 20;  // bytes requested per input, all together
size_t g_budget = kBudget;
long g_fail_in = -1;  // requests to grant before one fails; -1: none fails
uint64_t g_refused = 0;  // requests refused so far

bool refuse(size_t n) {
    const bool no = n > g_budget || (g_fail_in >= 0 && g_fail_in-- == 0);
    if (no)
        ++g_refused;
    else
        g_budget -= n;
    return no;
}

}  // namespace

extern "C" {
void *PyMem_RawMalloc(size_t n) { return refuse(n) ? nullptr : std::malloc(n ? n : 1); }
void *PyMem_RawCalloc(size_t n, size_t size) {
    if (size && n > SIZE_MAX / size) return nullptr;
    return refuse(n * size) ? nullptr : std::calloc(n ? n : 1, size ? size : 1);
}
void *PyMem_RawRealloc(void *p, size_t n) {
    return refuse(n) ? nullptr : std::realloc(p, n ? n : 1);
}
void PyMem_RawFree(void *p) { std::free(p); }
}

namespace {

[[noreturn]] void fail(const char *what, const unsigned char *data, size_t len) {
    std::fprintf(stderr, "invariant broken: %s (payload of %zu bytes:", what, len);
    for (size_t i = 0; i < len && i < 96; ++i) std::fprintf(stderr, " %02x", data[i]);
    std::fprintf(stderr, "%s)\n", len > 96 ? " ..." : "");
    std::abort();
}

// The input, for messages from deep in the checks.
const unsigned char *g_data = nullptr;
size_t g_len = 0;

void require(bool ok, const char *what) {
    if (!ok) fail(what, g_data, g_len);
}

// ---------------------------------------------------------------------------------------
// The model: a second, deliberately plain reading of the payload layout
// (docs/state-format.md), with no code shared with the parser.

struct Bucket {
    int32_t ord;
    uint64_t count;
};

struct Group {
    int64_t count;
    double min, max;
    std::vector<Bucket> buckets;
};

struct Model {
    uint64_t k, max_buckets, n_groups;
    std::vector<Group> groups;
};

constexpr int32_t kNegInf = INT32_MIN, kPosInf = INT32_MAX;
constexpr double kInf = std::numeric_limits<double>::infinity();

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, 8);
    return b;
}

struct Reader {
    const unsigned char *p;
    size_t left;

    bool take(size_t n, uint64_t &v) {
        if (left < n) return false;
        v = 0;
        for (size_t i = 0; i < n; ++i) v |= uint64_t{p[i]} << (8 * i);
        p += n;
        left -= n;
        return true;
    }
    bool take_double(double &x) {
        uint64_t b;
        if (!take(8, b)) return false;
        std::memcpy(&x, &b, 8);
        return true;
    }
};

bool is_finite_ord(int32_t ord) { return ord != kNegInf && ord != kPosInf; }

bool ord_in_range(int32_t ord, uint64_t k) {
    if (!is_finite_ord(ord) || ord == 0) return true;
    const int64_t mag = ord < 0 ? -int64_t{ord} : ord;
    return static_cast<uint64_t>(mag) <= 2046 * k;
}

// -0.0 counts as below +0.0, as in the sketches.
bool ordered(double lo, double hi) {
    if (lo != hi) return lo < hi;
    return !(lo == 0.0 && std::signbit(hi) && !std::signbit(lo));
}

bool extremes_fit(const Group &g) {
    if (g.count == 0) return bits(g.min) == bits(kInf) && bits(g.max) == bits(-kInf);
    if (std::isnan(g.min) || std::isnan(g.max) || !ordered(g.min, g.max)) return false;
    const bool neg = !g.buckets.empty() && g.buckets.front().ord == kNegInf;
    const bool pos = !g.buckets.empty() && g.buckets.back().ord == kPosInf;
    return neg == (g.min == -kInf) && pos == (g.max == kInf);
}

uint64_t finite_buckets(const Group &g) {
    uint64_t n = 0;
    for (const Bucket &b : g.buckets) n += is_finite_ord(b.ord);
    return n;
}

bool read_buckets(Reader &r, const Model &m, Group &g, uint64_t n) {
    unsigned __int128 sum = 0;
    for (uint64_t t = 0; t < n; ++t) {
        uint64_t ord, count;
        if (!r.take(4, ord) || !r.take(8, count)) return false;
        const auto o = static_cast<int32_t>(static_cast<uint32_t>(ord));
        if (count == 0 || !ord_in_range(o, m.k)) return false;
        if (!g.buckets.empty() && g.buckets.back().ord >= o) return false;
        g.buckets.push_back({o, count});
        sum += count;
    }
    return sum == static_cast<uint64_t>(g.count);
}

bool read_group(Reader &r, const Model &m, Group &g) {
    uint64_t count, n;
    if (!r.take(8, count) || !r.take_double(g.min) || !r.take_double(g.max) || !r.take(4, n))
        return false;
    if (count > static_cast<uint64_t>(INT64_MAX)) return false;
    g.count = static_cast<int64_t>(count);
    if (!read_buckets(r, m, g, n) || !extremes_fit(g)) return false;
    return m.max_buckets == 0 || finite_buckets(g) <= m.max_buckets;
}

// True when the payload is one that the sketches can hold. Limits the sketches themselves
// impose count too: max_buckets must fit the int64 the objects keep it in.
bool read_model(const unsigned char *data, size_t len, Model &m) {
    Reader r{data, len};
    uint64_t reserved;
    if (!r.take(4, m.k) || !r.take(4, reserved) || !r.take(8, m.max_buckets) ||
        !r.take(8, m.n_groups))
        return false;
    if (m.k < 1 || m.k > (1u << 20) || reserved != 0) return false;
    if (m.max_buckets > static_cast<uint64_t>(INT64_MAX)) return false;
    if (m.n_groups > 0x7FFFFFFF) return false;  // 0 too: a grouped sketch may have none
    unsigned __int128 total = 0;
    for (uint64_t i = 0; i < m.n_groups; ++i) {
        m.groups.emplace_back();
        if (!read_group(r, m, m.groups.back())) return false;
        total += static_cast<uint64_t>(m.groups.back().count);
    }
    return total <= INT64_MAX && r.left == 0;
}

// ---------------------------------------------------------------------------------------
// Loading and writing, as the sketch objects do (groupedobj.cpp, sketchobj.cpp).

int32_t top_of(const SketchInfo &info) { return vornel::kExponents * info.k; }

// False when memory ran out; g must be released either way.
bool load_grouped(const unsigned char *data, const SketchInfo &info, GroupedCore &g) {
    return vornel::load_groups(g, data, info);  // as GroupedQuantileSketch loads it
}

// One model group as a single sketch (dense stores). False when memory ran out.
bool load_single(const Group &m, int32_t top, SketchCore &s) {
    s.top = top;
    s.count = m.count;
    s.min = m.min;
    s.max = m.max;
    for (const Bucket &b : m.buckets)
        if (!vornel::sketch_put(s, b.ord, b.count)) return false;
    return true;
}

std::vector<unsigned char> write_grouped(const GroupedCore &g, SketchInfo info) {
    size_t size = vornel::kSketchHeaderSize;
    for (int64_t i = 0; i < g.n_groups; ++i)
        size += vornel::group_bytes(vornel::cursor_buckets(BucketCursor(g, i)));
    std::vector<unsigned char> out(size);
    unsigned char *p = vornel::write_header(out.data(), info);
    for (int64_t i = 0; i < g.n_groups; ++i) {
        const GroupHead &h = g.heads[i];
        p = vornel::write_group(p, h.count, h.min, h.max, BucketCursor(g, i),
                                vornel::cursor_buckets(BucketCursor(g, i)));
    }
    require(p == out.data() + size, "written payload not of the size announced");
    return out;
}

std::vector<unsigned char> write_single(const SketchCore &s, SketchInfo info) {
    const uint64_t nb = vornel::cursor_buckets(BucketCursor(s));
    std::vector<unsigned char> out(vornel::kSketchHeaderSize + vornel::group_bytes(nb));
    info.n_groups = 1;
    unsigned char *p = vornel::write_header(out.data(), info);
    p = vornel::write_group(p, s.count, s.min, s.max, BucketCursor(s), nb);
    require(p == out.data() + out.size(), "written payload not of the size announced");
    return out;
}

// ---------------------------------------------------------------------------------------
// Comparisons with the model.

bool same_buckets(BucketCursor cur, const std::vector<Bucket> &want) {
    int32_t ord;
    uint64_t count;
    size_t t = 0;
    while (cur.next(ord, count)) {
        if (t == want.size() || want[t].ord != ord || want[t].count != count) return false;
        ++t;
    }
    return t == want.size();
}

void check_group(const GroupedCore &g, int64_t i, const Group &want, const char *what) {
    const GroupHead &h = g.heads[i];
    require(h.count == want.count && bits(h.min) == bits(want.min) &&
                bits(h.max) == bits(want.max), what);
    require(same_buckets(BucketCursor(g, i), want.buckets), what);
    require(vornel::group_buckets(g, i) == static_cast<int64_t>(finite_buckets(want)), what);
}

void check_core(const GroupedCore &g, const Model &m, const char *what) {
    require(g.n_groups == static_cast<int64_t>(m.groups.size()), what);
    for (int64_t i = 0; i < g.n_groups; ++i) check_group(g, i, m.groups[i], what);
}

// The model's quantile: q = 1 gives max; otherwise the rank as NumPy's "lower" method takes
// it, min for rank 0 and max for the last, else the answer of the bucket holding it clamped
// to [min, max].
double model_quantile(const Group &g, const vornel::Mapping &map, double q) {
    if (g.count == 0) return std::numeric_limits<double>::quiet_NaN();
    if (q == 1.0) return g.max;  // even where q (n - 1) rounds below n - 1 (n past 2^53)
    const auto rank = static_cast<uint64_t>(static_cast<double>(g.count - 1) * q);
    if (rank == 0) return g.min;
    if (rank >= static_cast<uint64_t>(g.count - 1)) return g.max;
    uint64_t passed = 0;
    for (const Bucket &b : g.buckets) {
        if (rank < passed + b.count) {
            const double v = vornel::ordinal_value(map, b.ord);
            return v < g.min ? g.min : v > g.max ? g.max : v;
        }
        passed += b.count;
    }
    return g.max;
}

constexpr double kQs[] = {0.0, 1e-300, 0.001, 0.25, 0.5, 0.75, 0.999, 0.9999999999999999, 1.0};

void check_quantiles(const GroupedCore &g, const vornel::Mapping &map, int64_t i,
                     const Group &want, const SketchCore *single) {
    for (double q : kQs) {
        const double v = vornel::group_quantile(g, map, i, q);
        if (want.count == 0) {
            require(std::isnan(v), "an empty group answers other than NaN");
            continue;
        }
        require(v >= want.min && v <= want.max, "an answer outside [min, max]");
        require(bits(v) == bits(model_quantile(want, map, q)), "an answer differs from the model");
        if (q == 0.0) require(bits(v) == bits(want.min), "q = 0 does not give min exactly");
        if (q == 1.0) require(bits(v) == bits(want.max), "q = 1 does not give max exactly");
        if (single)
            require(bits(v) == bits(vornel::sketch_quantile(*single, map, q)),
                    "the grouped and the single sketch answer differently");
    }
}

// A bucket answers a value that falls in itself: the representative lies inside the bucket.
void check_answers(const Model &m, const vornel::Mapping &map) {
    int checked = 0;
    for (const Group &g : m.groups) {
        for (const Bucket &b : g.buckets) {
            if (!is_finite_ord(b.ord) || b.ord == 0 || ++checked > 64) continue;
            const double v = vornel::ordinal_value(map, b.ord);
            const double a = std::fabs(v);
            require(std::fpclassify(a) == FP_NORMAL && std::signbit(v) == (b.ord < 0),
                    "a bucket answers a value of the wrong sign or class");
            const int32_t index = vornel::bucket_index(bits(a), map.kd, map.k);
            require(index == (b.ord < 0 ? -b.ord : b.ord) - 1,
                    "a bucket answers a value that falls in another bucket");
        }
    }
}

// ---------------------------------------------------------------------------------------
// Operations on the model.

// Adds count to bucket ord of a model group (the merge's bucket arithmetic).
void model_put(Group &g, int32_t ord, uint64_t count) {
    size_t t = 0;
    while (t < g.buckets.size() && g.buckets[t].ord < ord) ++t;
    if (t < g.buckets.size() && g.buckets[t].ord == ord)
        g.buckets[t].count += count;
    else
        g.buckets.insert(g.buckets.begin() + static_cast<long>(t), Bucket{ord, count});
}

// Keeps the max_buckets highest finite buckets; every lower one folds into the lowest kept.
void model_collapse(Group &g, uint64_t max_buckets) {
    const uint64_t finite = finite_buckets(g);
    if (finite <= max_buckets) return;
    const size_t from = g.buckets.front().ord == kNegInf ? 1 : 0;
    const size_t to = from + static_cast<size_t>(finite - max_buckets);
    for (size_t t = from; t < to; ++t) g.buckets[to].count += g.buckets[t].count;
    g.buckets.erase(g.buckets.begin() + static_cast<long>(from),
                    g.buckets.begin() + static_cast<long>(to));
}

// Whether every count doubled (and each group's few extra values) still fits an int64.
bool doubling_fits(const Model &m) {
    unsigned __int128 total = 0;
    for (const Group &g : m.groups) total += 2 * static_cast<unsigned __int128>(g.count) + 4;
    return total <= INT64_MAX;
}

// ---------------------------------------------------------------------------------------
// The checks of an accepted payload.

// Loading and writing back gives the input, byte for byte; the single sketch too.
void check_round_trip(const unsigned char *data, size_t len, const SketchInfo &info,
                      const GroupedCore &g) {
    const std::vector<unsigned char> out = write_grouped(g, info);
    require(out.size() == len && std::memcmp(out.data(), data, len) == 0,
            "the payload written back differs from the one loaded");
    SketchInfo again{};
    require(vornel::check_sketch(out.data(), out.size(), again) == SketchFault::None,
            "the payload written back is refused");
}

// A single sketch loaded as sketchobj.cpp loads one writes the payload back too.
void check_single(const unsigned char *data, size_t len, const SketchInfo &info,
                  const SketchCore &s) {
    const std::vector<unsigned char> out = write_single(s, info);
    require(out.size() == len && std::memcmp(out.data(), data, len) == 0,
            "a single sketch written back differs from the one loaded");
}

// Each group against a dense single sketch of the same buckets: same buckets, answers, and
// the same merge with itself.
void check_groups(const unsigned char *data, size_t len, const SketchInfo &info,
                  const GroupedCore &g, const Model &m, const vornel::Mapping &map) {
    for (int64_t i = 0; i < g.n_groups; ++i) {
        const Group &want = m.groups[i];
        SketchCore s;
        const bool loaded = load_single(want, top_of(info), s);
        if (loaded) require(same_buckets(BucketCursor(s), want.buckets), "dense buckets differ");
        if (loaded && m.n_groups == 1) check_single(data, len, info, s);
        check_quantiles(g, map, i, want, loaded ? &s : nullptr);
        if (loaded && doubling_fits(m) && vornel::sketch_merge(s, s)) {
            Group twice = want;
            for (Bucket &b : twice.buckets) b.count *= 2;
            require(same_buckets(BucketCursor(s), twice.buckets),
                    "a single sketch merged with itself does not double");
        }
        s.release();
    }
}

// Whether every group's buckets add up to its count, and the counts to the total.
bool consistent(const GroupedCore &g) {
    uint64_t total = 0;
    for (int64_t i = 0; i < g.n_groups; ++i) {
        BucketCursor cur(g, i);
        int32_t ord;
        uint64_t count, sum = 0;
        while (cur.next(ord, count)) sum += count;
        if (sum != static_cast<uint64_t>(g.heads[i].count)) return false;
        total += sum;
    }
    return total == static_cast<uint64_t>(g.total);
}

// A fresh core holding one value in each of the first few buckets of every group (sparse,
// so the merge adds into existing entries), merged with g: the model's sums.
void check_merge_into_other(const GroupedCore &g, const Model &m, const SketchInfo &info) {
    GroupedCore h;
    h.top = top_of(info);
    Model want = m;
    bool ok = h.resize(g.n_groups);
    for (int64_t i = 0; ok && i < g.n_groups; ++i) {
        Group &w = want.groups[i];
        const size_t few = w.buckets.size() < 4 ? w.buckets.size() : 4;
        for (size_t t = 0; ok && t < few; ++t) {
            const int32_t ord = m.groups[i].buckets[t].ord;
            ok = vornel::group_put(h, i, ord, 1);
            h.heads[i].count += 1;
            h.total += 1;
            model_put(w, ord, 1);
        }
        w.count += static_cast<int64_t>(few);
        h.heads[i].min = w.min;
        h.heads[i].max = w.max;
    }
    if (ok && vornel::grouped_sketch_merge(h, g)) {
        check_core(h, want, "a merge differs from the model");
        require(consistent(h), "a merge leaves a total other than its groups' counts");
    }
    h.release();
}

// g merged with itself doubles every count. False when memory ran out (g is then half
// merged, but consistent).
bool check_self_merge(GroupedCore &g, Model &m) {
    if (!doubling_fits(m)) return true;
    if (!vornel::grouped_sketch_merge(g, g)) {
        require(consistent(g), "a merge with itself that ran out of memory left g inconsistent");
        return false;
    }
    for (Group &w : m.groups) {
        w.count *= 2;
        for (Bucket &b : w.buckets) b.count *= 2;
    }
    check_core(g, m, "a merge with itself differs from the model");
    return true;
}

// A bucket limit collapses every group as the model says, and the payload is then accepted
// under that limit. A group whose collapse ran out of memory stays as it was.
void check_collapse(GroupedCore &g, const Model &m, const SketchInfo &info, uint64_t limit) {
    const uint64_t refused = g_refused;
    vornel::grouped_collapse(g, static_cast<int64_t>(limit));
    const bool short_of_memory = g_refused != refused;
    for (int64_t i = 0; i < g.n_groups; ++i) {
        Group want = m.groups[i];
        model_collapse(want, limit);
        if (short_of_memory && same_buckets(BucketCursor(g, i), m.groups[i].buckets)) continue;
        check_group(g, i, want, "a collapse differs from the model");
    }
    if (short_of_memory) return;
    SketchInfo limited = info;
    limited.max_buckets = limit;
    const std::vector<unsigned char> out = write_grouped(g, limited);
    SketchInfo again{};
    require(vornel::check_sketch(out.data(), out.size(), again) == SketchFault::None,
            "a collapsed payload is refused");
}

// A load that runs out of memory at the n-th request leaves a core that releases cleanly
// (LeakSanitizer sees what it does not release).
void check_failed_load(const unsigned char *data, const SketchInfo &info, long n) {
    GroupedCore g;
    g_fail_in = n;
    load_grouped(data, info, g);
    g_fail_in = -1;
    g.release();
}

// A merge that runs out of memory at the n-th request leaves every group consistent: the
// groups before merged, the rest as they were.
void check_failed_merge(const SketchInfo &info, const GroupedCore &g, long n) {
    GroupedCore h;
    h.top = top_of(info);
    if (h.resize(g.n_groups)) {
        g_fail_in = n;
        const bool merged = vornel::grouped_sketch_merge(h, g);
        g_fail_in = -1;
        require(merged || consistent(h), "a merge that ran out of memory left h inconsistent");
    }
    h.release();
}

void check_accepted(const unsigned char *data, size_t len, const SketchInfo &info,
                    const Model &m) {
    require(info.k == static_cast<int32_t>(m.k) && info.max_buckets == m.max_buckets &&
                info.n_groups == m.n_groups, "the parser and the model read different headers");
    const vornel::Mapping map = vornel::mapping_of(info.k);
    check_answers(m, map);
    uint32_t mix = 0;
    for (size_t i = 0; i < len; ++i) mix = mix * 31 + data[i];
    GroupedCore g;
    if (load_grouped(data, info, g)) {
        check_core(g, m, "a loaded group differs from the model");
        check_round_trip(data, len, info, g);
        check_groups(data, len, info, g, m, map);
        if (doubling_fits(m)) check_merge_into_other(g, m, info);
        check_failed_merge(info, g, static_cast<long>(mix % 5));
        Model twice = m;
        if (check_self_merge(g, twice)) check_collapse(g, twice, info, 1 + mix % 6);
    }
    g.release();
    check_failed_load(data, info, static_cast<long>(mix % 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // An exact-size copy: ASan then catches any read past the payload's end.
    std::vector<unsigned char> payload(data, data + size);
    g_data = payload.data();
    g_len = size;
    g_budget = kBudget;
    SketchInfo info{}, again{};
    const SketchFault f = vornel::check_sketch(payload.data(), size, info);
    require(vornel::check_sketch(payload.data(), size, again) == f, "two checks disagree");
    const char *msg = vornel::sketch_fault_message(f);
    require(msg && *msg, "a fault without a message");
    Model m;
    const bool valid = read_model(payload.data(), size, m);
    require(valid == (f == SketchFault::None), valid ? "the parser refuses a valid payload"
                                                     : "the parser accepts an invalid payload");
    if (valid) check_accepted(payload.data(), size, info, m);
    return 0;
}
