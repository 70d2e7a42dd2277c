// The CSV scanner: records and fields by RFC 4180, numbers, missing cells and group ids.
#include "scan.hpp"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

#include "numparse.hpp"

namespace vornel {

bool CellSet::has(const unsigned char *p, size_t n_bytes) const noexcept {
    for (int i = 0; i < n; ++i)
        if (len[i] == n_bytes && (n_bytes == 0 || std::memcmp(cell[i], p, n_bytes) == 0))
            return true;
    return false;
}

int64_t row_bound(const unsigned char *data, size_t len) noexcept {
    // Branch-free, so that the compiler vectorizes it.
    int64_t n = 1;
    for (size_t i = 0; i < len; ++i) n += (data[i] == '\n') | (data[i] == '\r');
    return n;
}

int64_t count_lines(const unsigned char *data, size_t len) noexcept {
    int64_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (data[i] == '\n') {
            ++n;
        } else if (data[i] == '\r' && (i + 1 == len || data[i + 1] != '\n')) {
            ++n;  // a bare carriage return ends a line too
        }
    }
    return n;
}


bool valid_utf8(const unsigned char *p, size_t n) noexcept {
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};  // no overlong forms
    size_t i = 0;
    for (uint64_t w; i + 8 <= n; i += 8) {  // ASCII, the common case, eight bytes at a time
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080u) break;
    }
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int more;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            more = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        for (size_t k = 1; k <= static_cast<size_t>(more); ++k) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (cp < kMin[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += static_cast<size_t>(more) + 1;
    }
    return true;
}

namespace {

// A range's memo of keys already mapped: most rows repeat a key seen a little before, and
// the memo spares them the shared map's lock. Bounded: past kMemoSlots / 2 keys it takes
// no more, and later new keys go to the map directly.
constexpr uint32_t kMemoSlots = 1u << 16;

struct Memo {
    struct Slot {
        uint64_t hash;
        uint64_t off;
        uint32_t len;
        int32_t id;  // -1: empty
    };
    Slot *slots = nullptr;
    uint32_t used = 0;
    RawBuffer bytes;
    // Once full, a memo that seldom knows a key (many keys, each met rarely in a range) is
    // only a cache miss more per record: it is then no longer asked.
    int64_t asked = 0, known = 0;
    bool on = true;

    void tally(bool hit) noexcept {
        ++asked;
        known += hit;
        if (used * 2 >= kMemoSlots && asked >= 4096 && known * 8 < asked) on = false;
    }

    bool init() noexcept {
        slots = static_cast<Slot *>(std::malloc(kMemoSlots * sizeof(Slot)));
        if (!slots) return false;
        for (uint32_t i = 0; i < kMemoSlots; ++i) slots[i].id = -1;
        return true;
    }
    ~Memo() {
        std::free(slots);
        bytes.release();
    }
    // The id of key, or -1 when the memo does not hold it (at its slot, for insert).
    int32_t find(const unsigned char *key, uint32_t len, uint64_t hash,
                 uint32_t &at) const noexcept {
        constexpr uint32_t mask = kMemoSlots - 1;
        for (at = static_cast<uint32_t>(hash >> 40) & mask;; at = (at + 1) & mask) {
            const Slot &s = slots[at];
            if (s.id < 0) return -1;
            if (s.hash == hash && s.len == len && std::memcmp(bytes.data + s.off, key, len) == 0)
                return s.id;
        }
    }
    void prefetch(uint64_t hash) const noexcept {
        __builtin_prefetch(slots + (static_cast<uint32_t>(hash >> 40) & (kMemoSlots - 1)));
    }
    void insert(uint32_t at, const unsigned char *key, uint32_t len, uint64_t hash,
                int32_t id) noexcept {
        if (used * 2 >= kMemoSlots || !bytes.reserve(len)) return;  // full: no harm
        slots[at] = Slot{hash, bytes.size, len, id};
        bytes.append(key, len);
        ++used;
    }
};

// Bytes that end or disturb an unquoted field: the scan of a field stops at them.
constexpr auto kStops = [] {
    struct Table {
        bool stop[256];
    } t{};
    t.stop[static_cast<unsigned char>(',')] = t.stop[static_cast<unsigned char>('\n')] = true;
    t.stop[static_cast<unsigned char>('\r')] = t.stop[static_cast<unsigned char>('"')] = true;
    return t;
}();

// The first byte of d[i, len) that ends or disturbs an unquoted field (len if none), eight
// bytes at a time: a byte equal to c leaves a zero in w ^ c, and (x - 1s) & ~x & highs
// marks the lowest zero byte of x exactly (marks above it may be false; only the lowest is
// used). Little-endian: the lowest byte comes first.
inline size_t field_end(const unsigned char *d, size_t i, size_t len) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t ones = 0x0101010101010101u, highs = 0x8080808080808080u;
        for (; i + 8 <= len; i += 8) {
            uint64_t w;
            std::memcpy(&w, d + i, 8);
            uint64_t hit = 0;
            constexpr uint64_t kStops[] = {',', '\n', '\r', '"'};
            for (const uint64_t c : kStops) {
                const uint64_t x = w ^ (ones * c);
                hit |= (x - ones) & ~x & highs;
            }
            if (hit) return i + static_cast<size_t>(__builtin_ctzll(hit) >> 3);
        }
    }
    while (i < len && !kStops.stop[d[i]]) ++i;
    return i;
}

// Exact powers of ten: a decimal of at most 15 digits over one of them is the nearest
// double to its value (both are exact doubles, and IEEE division rounds once).
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// One field: its content (in the range, or unescaped in scratch), where it stands raw,
// whether the record ends after it, and, for the shortcut, a plain decimal's value.
struct Field {
    const unsigned char *p;
    size_t n;
    size_t raw_at, raw_n;
    bool end_of_record;
};

constexpr uint64_t kPow10Int[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// The count of leading decimal digits of the little-endian word w (8 if all are digits).
// A byte that is no digit sets its high bit in (w + 0x46..) | (w - 0x30..); carries and
// borrows move upward only and digits make none, so the lowest such byte is exact.
inline int leading_digits(uint64_t w) noexcept {
    const uint64_t odd = ((w + 0x4646464646464646u) | (w - 0x3030303030303030u)) &
                         0x8080808080808080u;
    return odd ? __builtin_ctzll(odd) >> 3 : 8;
}

// The value of the first k (1 to 7) ASCII digits of w: shifted to the top, '0's below, then
// pairs, fours and eights of digits combined by multiplication.
inline uint64_t digits_value(uint64_t w, int k) noexcept {
    const auto shift = static_cast<unsigned>(64 - 8 * k);
    w = (w << shift) | (0x3030303030303030u >> (64 - shift));
    w -= 0x3030303030303030u;
    w = w * 10 + (w >> 8);
    w = (((w & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
         (((w >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >> 32;
    return w;
}

inline bool ends_field(const unsigned char *d, size_t i, size_t len) noexcept {
    return i >= len || d[i] == ',' || d[i] == '\n' || d[i] == '\r';
}

// The plain decimal at d[i, len) eight bytes at a time, for at most 7 digits on each side of
// the point; false where the bytes do not allow it (plain_decimal then reads byte by byte).
[[gnu::always_inline]] inline bool short_decimal(const unsigned char *d, size_t i, size_t len,
                                                bool neg, double &x, size_t &end) noexcept {
    if (i + 8 > len) return false;
    uint64_t w;
    std::memcpy(&w, d + i, 8);
    const int k = leading_digits(w);
    if (k == 8) return false;
    uint64_t m = k ? digits_value(w, k) : 0;
    i += static_cast<size_t>(k);
    int frac = 0;
    if (d[i] == '.') {
        ++i;
        if (i + 8 > len) return false;
        std::memcpy(&w, d + i, 8);
        frac = leading_digits(w);
        if (frac == 8) return false;
        if (frac) m = m * kPow10Int[frac] + digits_value(w, frac);
        i += static_cast<size_t>(frac);
    }
    if (k + frac == 0 || !ends_field(d, i, len)) return false;
    const double v = static_cast<double>(m) / kPow10[frac];
    x = neg ? -v : v;
    end = i;
    return true;
}

// A plain decimal at d[i, len): an optional '-', digits, an optional point and digits,
// ended by a field's end. Sets x and the end; false for anything else (which the general
// path then reads). At most 15 significant digits and 22 after the point, so that the value
// is exactly m / 10^f rounded once: the same double parse_number gives.
[[gnu::always_inline]] inline bool plain_decimal(const unsigned char *d, size_t i, size_t len,
                                                double &x, size_t &end) noexcept {
    const bool neg = i < len && d[i] == '-';
    i += neg;  // no branch: signs are as random as the data
    if (short_decimal(d, i, len, neg, x, end)) return true;
    uint64_t m = 0;
    int digits = 0, frac = 0;
    while (i < len && static_cast<unsigned>(d[i] - '0') < 10) {
        m = m * 10 + (d[i] - '0');
        ++digits;
        ++i;
    }
    if (i < len && d[i] == '.') {
        ++i;
        while (i < len && static_cast<unsigned>(d[i] - '0') < 10) {
            m = m * 10 + (d[i] - '0');
            ++digits;
            ++frac;
            ++i;
        }
    }
    if (digits == 0 || digits > 15 || frac > 22) return false;
    if (!ends_field(d, i, len)) return false;
    const double v = static_cast<double>(m) / kPow10[frac];
    x = neg ? -v : v;
    end = i;
    return true;
}

// Reads the field at pos; on a fault sets it (pos at the fault) and returns false. Line
// breaks inside quotes are added to lines.
bool next_field(const unsigned char *d, size_t len, size_t &pos, RawBuffer &scratch, Field &f,
                ScanFault &fault, int64_t &lines) noexcept {
    size_t i = pos;
    f.raw_at = i;
    if (i < len && d[i] == '"') {
        size_t j = i + 1;
        bool escaped = false;
        for (;;) {
            const void *q = j < len ? std::memchr(d + j, '"', len - j) : nullptr;
            if (!q) {
                fault = ScanFault::OpenQuote;  // told at the quote that opened the field
                pos = i;
                return false;
            }
            j = static_cast<size_t>(static_cast<const unsigned char *>(q) - d);
            if (j + 1 < len && d[j + 1] == '"') {  // a doubled quote stands for one
                escaped = true;
                j += 2;
                continue;
            }
            break;
        }
        lines += count_lines(d + i + 1, j - i - 1);  // d[j] closes the field
        if (!escaped) {
            f.p = d + i + 1;
            f.n = j - i - 1;
        } else {
            scratch.size = 0;
            if (!scratch.reserve(j - i)) {
                fault = ScanFault::NoMemory;
                return false;
            }
            for (size_t k = i + 1; k < j; ++k) {
                scratch.data[scratch.size++] = d[k];
                if (d[k] == '"') ++k;
            }
            f.p = scratch.data;
            f.n = scratch.size;
        }
        i = j + 1;
        if (i < len && d[i] != ',' && d[i] != '\n' && d[i] != '\r') {
            fault = ScanFault::AfterQuote;
            pos = i;
            return false;
        }
    } else {
        const size_t j = field_end(d, i, len);
        if (j < len && d[j] == '"') {
            fault = ScanFault::StrayQuote;
            pos = j;
            return false;
        }
        f.p = d + i;
        f.n = j - i;
        i = j;
    }
    f.raw_n = i - f.raw_at;
    f.end_of_record = i >= len || d[i] != ',';
    pos = f.end_of_record ? i : i + 1;
    return true;
}

// Steps over the line break at pos (LF, CRLF or a bare CR), if any; counts it.
inline void end_line(const unsigned char *d, size_t len, size_t &pos, int64_t &lines) noexcept {
    if (pos < len && d[pos] == '\r') {
        ++pos;
        if (pos < len && d[pos] == '\n') ++pos;
        ++lines;
    } else if (pos < len && d[pos] == '\n') {
        ++pos;
        ++lines;
    }
}

// Appends one key part to the encoded tuple: its length (or the null mark) and bytes.
bool encode_part(RawBuffer &key, const Field &f, bool null) noexcept {
    const uint32_t n = null ? 0xFFFFFFFFu : static_cast<uint32_t>(f.n);
    if (!key.reserve(4 + (null ? 0 : f.n))) return false;
    std::memcpy(key.data + key.size, &n, 4);
    if (!null) std::memcpy(key.data + key.size + 4, f.p, f.n);
    key.size += 4 + (null ? 0 : f.n);
    return true;
}

// Stores a value cell: missing, a number, or text (the column's first text cell is kept).
inline void put_value(ColumnOut &col, int64_t row, const ScanLayout &layout,
                      const Field &f) noexcept {
    double x;
    if (layout.na.has(f.p, f.n)) {
        col.values[row] = std::numeric_limits<double>::quiet_NaN();
        col.missing[row] = 1;
        ++col.n_missing;
    } else if (parse_number(reinterpret_cast<const char *>(f.p),
                            reinterpret_cast<const char *>(f.p + f.n), x)) {
        col.values[row] = x;
        col.missing[row] = 0;
        col.any_number = true;
    } else {
        col.values[row] = std::numeric_limits<double>::quiet_NaN();
        col.missing[row] = 1;
        if (col.text_row < 0) {  // the raw field, for the message
            col.text_row = row;
            col.text_at = f.raw_at;
            col.text_len = static_cast<uint32_t>(f.raw_n);
        }
    }
}

// The group id of a record's encoded key: the memo's, or the map's (after a UTF-8 check of
// a key new to the range). Negative: the fault to report (part for KeyNotUtf8 in `part`).
[[gnu::always_inline]] inline int32_t key_id(const RawBuffer &key, Memo &memo, KeyMap *map,
                                             uint64_t pos, uint64_t hash, int32_t &part,
                                             ScanFault &fault) noexcept {
    const auto klen = static_cast<uint32_t>(key.size);
    uint32_t at = 0;
    int32_t id = -1;
    if (memo.on) {
        id = memo.find(key.data, klen, hash, at);
        memo.tally(id >= 0);
        if (id >= 0) return id;
    }
    part = 0;
    for (size_t p = 0; p < key.size; ++part) {
        uint32_t n;
        std::memcpy(&n, key.data + p, 4);
        p += 4;
        if (n == 0xFFFFFFFFu) continue;
        if (!valid_utf8(key.data + p, n)) {
            fault = ScanFault::KeyNotUtf8;
            return -1;
        }
        p += n;
    }
    id = map->id_of(key.data, klen, hash, pos);
    if (id < 0) {
        fault = id == -2 ? ScanFault::TooManyKeys : ScanFault::NoMemory;
        return -1;
    }
    if (memo.on) memo.insert(at, key.data, klen, hash, id);
    return id;
}

// Key parts are encoded in field order as a record is read; when a key's parts come in
// another order (group columns named out of header order), this puts them in part order.
class PartOrder {
public:
    PartOrder() noexcept = default;
    PartOrder(const PartOrder &) = delete;
    PartOrder &operator=(const PartOrder &) = delete;
    ~PartOrder() {
        encoded_of_.release();
        spare_.release();
    }

    // False when out of memory; needed() tells whether apply() is ever due.
    bool init(const ScanLayout &layout) noexcept {
        const auto n = static_cast<size_t>(layout.n_keys);
        int32_t seen = 0;
        bool in_order = true;
        for (int32_t f = 0; f < layout.n_fields; ++f)
            if (layout.key_of[f] >= 0) in_order = in_order && layout.key_of[f] == seen++;
        if (in_order) return true;
        if (!encoded_of_.reserve(2 * n * sizeof(uint32_t))) return false;
        auto *encoded_of = reinterpret_cast<uint32_t *>(encoded_of_.data);
        uint32_t i = 0;
        for (int32_t f = 0; f < layout.n_fields; ++f)
            if (layout.key_of[f] >= 0) encoded_of[layout.key_of[f]] = i++;
        n_ = n;
        return true;
    }
    bool needed() const noexcept { return n_ != 0; }

    // Rewrites key (n parts in field order) in part order; false when out of memory.
    bool apply(RawBuffer &key) noexcept {
        auto *encoded_of = reinterpret_cast<uint32_t *>(encoded_of_.data);
        uint32_t *at = encoded_of + n_;  // each encoded part's offset
        size_t p = 0;
        for (size_t i = 0; i < n_; ++i) {
            at[i] = static_cast<uint32_t>(p);
            uint32_t len;
            std::memcpy(&len, key.data + p, 4);
            p += 4 + (len == 0xFFFFFFFFu ? 0 : len);
        }
        spare_.size = 0;
        if (!spare_.reserve(key.size)) return false;
        for (size_t part = 0; part < n_; ++part) {
            const uint32_t from = at[encoded_of[part]];
            uint32_t len;
            std::memcpy(&len, key.data + from, 4);
            const size_t n = 4 + (len == 0xFFFFFFFFu ? 0 : len);
            std::memcpy(spare_.data + spare_.size, key.data + from, n);
            spare_.size += n;
        }
        std::swap(key, spare_);
        return true;
    }

private:
    RawBuffer encoded_of_;  // per part, its place in field order; then room for offsets
    RawBuffer spare_;
    size_t n_ = 0;  // 0: parts already in field order
};

// Records whose keys are looked up a few records late, each key's map slot prefetched when
// the record is read: the lookups' cache misses then overlap instead of adding up.
struct KeyQueue {
    static constexpr unsigned kDepth = 8;  // a power of two
    struct Entry {
        uint64_t hash;
        size_t end;  // the record's end in the range, where a fault of its key is told
        int64_t row;
    };
    RawBuffer key[kDepth];  // the encoded keys, one buffer per place, reused
    Entry entry[kDepth];
    unsigned head = 0, count = 0;

    ~KeyQueue() {
        for (RawBuffer &k : key) k.release();
    }
    RawBuffer &next() noexcept { return key[(head + count) & (kDepth - 1)]; }
    void push(const Entry &e) noexcept { entry[(head + count++) & (kDepth - 1)] = e; }
};

// Looks up the oldest queued key into out.ids; false (with the fault set in out) when it
// cannot be mapped.
[[gnu::always_inline]] inline bool resolve_oldest(KeyQueue &q, Memo &memo, KeyMap *map,
                                                  uint64_t range, RangeOut &out) noexcept {
    const KeyQueue::Entry &e = q.entry[q.head];
    const RawBuffer &key = q.key[q.head];
    q.head = (q.head + 1) & (KeyQueue::kDepth - 1);
    --q.count;
    int32_t part = -1;
    ScanFault fault = ScanFault::None;
    const int32_t id = key_id(key, memo, map, range << 32 | static_cast<uint64_t>(e.row),
                              e.hash, part, fault);
    if (id >= 0) {
        out.ids[e.row] = id;
        return true;
    }
    out.fault = fault;
    out.fault_at = e.end;
    out.fault_field = part;
    out.fault_got = 0;
    out.rows = e.row;  // the records before it are the range's
    return false;
}

}  // namespace

bool numeric_cells(const CellSet &set) noexcept {
    for (int i = 0; i < set.n; ++i) {
        double x;
        size_t end;
        if (plain_decimal(set.cell[i], 0, set.len[i], x, end) && end == set.len[i]) return true;
    }
    return false;
}

namespace {

// Where and why a record could not be read.
struct RecordFault {
    ScanFault fault = ScanFault::None;
    size_t at = 0;
    int32_t field = -1, got = 0;
};

// Reads the record at pos (not an empty line) as row `row`: its values into out's columns,
// its key parts encoded into key; pos is left at its line break. False on a fault.
[[gnu::always_inline]] inline bool read_record(const unsigned char *data, size_t len,
                                               const ScanLayout &layout, size_t &pos,
                                               int64_t row, RawBuffer &scratch, RawBuffer &key,
                                               RangeOut &out, int64_t &lines,
                                               RecordFault &bad) noexcept {
    int32_t field = 0;
    for (bool done = false; !done; ++field) {
        const int32_t v = field < layout.n_fields ? layout.value_of[field] : -1;
        if (v >= 0 && !layout.na_numeric && !out.cols[v].skip) {
            double x;
            size_t end;
            if (plain_decimal(data, pos, len, x, end)) {  // the common case, in one pass
                ColumnOut &col = out.cols[v];
                col.values[row] = x;
                col.missing[row] = 0;
                col.any_number = true;
                done = end >= len || data[end] != ',';
                pos = done ? end : end + 1;
                continue;
            }
        }
        Field f{};
        if (!next_field(data, len, pos, scratch, f, bad.fault, lines)) {
            bad = {bad.fault, pos, field, 0};
            return false;
        }
        done = f.end_of_record;
        if (field >= layout.n_fields) continue;
        if (v >= 0 && !out.cols[v].skip) put_value(out.cols[v], row, layout, f);
        if (layout.key_of[field] >= 0 && !encode_part(key, f, layout.key_na.has(f.p, f.n))) {
            bad = {ScanFault::NoMemory, pos, field, 0};
            return false;
        }
    }
    // Faults of a whole record are told on the line where it ends, as a reader of lines
    // meets them.
    if (field != layout.n_fields) {
        bad = {ScanFault::Ragged, pos, -1, field};
        return false;
    }
    return true;
}

}  // namespace

void scan_range(const unsigned char *data, size_t len, const ScanLayout &layout, KeyMap *map,
                uint64_t range, RangeOut &out) noexcept {
    RawBuffer scratch;
    Memo memo;
    KeyQueue queue;
    PartOrder order;
    if (layout.n_keys && (!memo.init() || !order.init(layout))) {
        out.fault = ScanFault::NoMemory;
        return;
    }
    int64_t row = 0, lines = 0;
    size_t pos = 0;
    RecordFault bad;
    bool keys_ok = true;
    while (pos < len && keys_ok) {
        if (data[pos] == '\n' || data[pos] == '\r') {  // an empty line holds no record
            end_line(data, len, pos, lines);
            continue;
        }
        RawBuffer &key = queue.next();
        key.size = 0;
        if (!read_record(data, len, layout, pos, row, scratch, key, out, lines, bad)) break;
        if (order.needed() && !order.apply(key)) {
            bad = {ScanFault::NoMemory, pos, -1, 0};
            break;
        }
        if (layout.n_keys) {
            const uint64_t hash = key_hash(key.data, key.size);
            // While the memo knows most keys, they are in cache: no waiting, no prefetch.
            const unsigned depth = memo.on ? 1 : KeyQueue::kDepth;
            if (!memo.on) map->prefetch(hash);
            queue.push({hash, pos, row});
            if (queue.count >= depth) keys_ok = resolve_oldest(queue, memo, map, range, out);
        }
        end_line(data, len, pos, lines);
        ++row;
    }
    // The queued keys come before any fault of a record: a fault among them is the first.
    while (keys_ok && queue.count) keys_ok = resolve_oldest(queue, memo, map, range, out);
    scratch.release();
    if (!keys_ok) return;  // out holds the fault and the rows before it
    out.rows = row;
    out.lines = lines;
    if (bad.fault != ScanFault::None) {
        out.fault = bad.fault;
        out.fault_at = bad.at;
        out.fault_field = bad.field;
        out.fault_got = bad.got;
    }
}

}  // namespace vornel
