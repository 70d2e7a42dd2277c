// The CSV scanner: records and fields by RFC 4180, numbers, missing cells and group ids.
#include "scan.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "numparse.hpp"

namespace vornel {

bool CellSet::has(const unsigned char *p, size_t n_bytes) const noexcept {
    for (int i = 0; i < n; ++i)
        if (len[i] == n_bytes && (n_bytes == 0 || std::memcmp(cell[i], p, n_bytes) == 0))
            return true;
    return false;
}

int64_t row_bound(const unsigned char *data, size_t len) noexcept {
    int64_t n = 1;
    for (size_t i = 0; i < len; ++i) n += data[i] == '\n' || data[i] == '\r';
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
        for (int k = 1; k <= more; ++k) {
            if (i + static_cast<size_t>(k) >= n || (p[i + k] & 0xC0) != 0x80) return false;
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
    int32_t find(const unsigned char *key, uint32_t len, uint64_t hash, uint32_t &at) const noexcept {
        for (at = static_cast<uint32_t>(hash >> 40) & (kMemoSlots - 1);; at = (at + 1) & (kMemoSlots - 1)) {
            const Slot &s = slots[at];
            if (s.id < 0) return -1;
            if (s.hash == hash && s.len == len && std::memcmp(bytes.data + s.off, key, len) == 0)
                return s.id;
        }
    }
    void insert(uint32_t at, const unsigned char *key, uint32_t len, uint64_t hash,
                int32_t id) noexcept {
        if (used * 2 >= kMemoSlots || !bytes.reserve(len)) return;  // full: no harm
        slots[at] = Slot{hash, bytes.size, len, id};
        bytes.append(key, len);
        ++used;
    }
};

// One record's fields, found one at a time: where the content lies, and whether it was
// quoted with doubled quotes inside (then unescaped into a scratch buffer).
struct Cursor {
    const unsigned char *data;
    size_t len, pos;
};

struct Field {
    const unsigned char *p;  // the content (in the range, or unescaped in scratch)
    size_t n;
    size_t raw_at, raw_n;    // the field as it stands in the range, quotes included
    bool end_of_record;
};

// Reads the field at c.pos; on a fault sets it and returns false.
bool next_field(Cursor &c, RawBuffer &scratch, Field &f, ScanFault &fault) noexcept {
    const unsigned char *d = c.data;
    size_t i = c.pos;
    f.raw_at = i;
    if (i < c.len && d[i] == '"') {
        size_t j = i + 1;
        bool escaped = false;
        for (;;) {
            const void *q = j < c.len ? std::memchr(d + j, '"', c.len - j) : nullptr;
            if (!q) {
                fault = ScanFault::OpenQuote;
                return false;
            }
            j = static_cast<size_t>(static_cast<const unsigned char *>(q) - d);
            if (j + 1 < c.len && d[j + 1] == '"') {  // a doubled quote stands for one
                escaped = true;
                j += 2;
                continue;
            }
            break;
        }
        // d[j] closes the field.
        if (!escaped) {
            f.p = d + i + 1;
            f.n = j - i - 1;
        } else {
            scratch.size = 0;
            for (size_t k = i + 1; k < j; ++k) {
                if (!scratch.append(d + k, 1)) {
                    fault = ScanFault::NoMemory;
                    return false;
                }
                if (d[k] == '"') ++k;
            }
            f.p = scratch.data;
            f.n = scratch.size;
        }
        i = j + 1;
        if (i < c.len && d[i] != ',' && d[i] != '\n' && d[i] != '\r') {
            fault = ScanFault::AfterQuote;
            c.pos = i;
            return false;
        }
    } else {
        size_t j = i;
        while (j < c.len && d[j] != ',' && d[j] != '\n' && d[j] != '\r') {
            if (d[j] == '"') {
                fault = ScanFault::StrayQuote;
                c.pos = j;
                return false;
            }
            ++j;
        }
        f.p = d + i;
        f.n = j - i;
        i = j;
    }
    f.raw_n = i - f.raw_at;
    if (i < c.len && d[i] == ',') {
        f.end_of_record = false;
        c.pos = i + 1;
    } else {
        f.end_of_record = true;  // a line end (LF, CRLF or a bare CR) or the range's end
        if (i < c.len && d[i] == '\r') {
            ++i;
            if (i < c.len && d[i] == '\n') ++i;
        } else if (i < c.len && d[i] == '\n') {
            ++i;
        }
        c.pos = i;
    }
    return true;
}

// Appends one key part to the encoded tuple: its length (or the null mark) and bytes.
bool encode_part(RawBuffer &key, const Field &f, bool null) noexcept {
    const uint32_t n = null ? 0xFFFFFFFFu : static_cast<uint32_t>(f.n);
    return key.append(&n, 4) && (null || key.append(f.p, f.n));
}

}  // namespace

void scan_range(const unsigned char *data, size_t len, const ScanLayout &layout, KeyMap *map,
                uint64_t range, RangeOut &out) noexcept {
    Cursor c{data, len, 0};
    RawBuffer scratch, key;
    Memo memo;
    if (layout.n_keys && !memo.init()) {
        out.fault = ScanFault::NoMemory;
        return;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    int64_t row = 0;
    while (c.pos < len) {
        if (data[c.pos] == '\n' || data[c.pos] == '\r') {  // an empty line holds no record
            c.pos += (data[c.pos] == '\r' && c.pos + 1 < len && data[c.pos + 1] == '\n') ? 2 : 1;
            continue;
        }
        const size_t start = c.pos;
        key.size = 0;
        int32_t field = 0;
        bool done = false;
        while (!done) {
            Field f{};
            ScanFault fault = ScanFault::None;
            if (!next_field(c, scratch, f, fault)) {
                out.fault = fault;
                out.fault_at = start;
                out.fault_field = field;
                out.rows = row;
                return;
            }
            done = f.end_of_record;
            if (field < layout.n_fields) {
                const int32_t v = layout.value_of[field];
                if (v >= 0 && !out.cols[v].skip) {
                    ColumnOut &col = out.cols[v];
                    double x;
                    if (layout.na.has(f.p, f.n)) {
                        col.values[row] = nan;
                        col.missing[row] = 1;
                        ++col.n_missing;
                    } else if (parse_number(reinterpret_cast<const char *>(f.p),
                                            reinterpret_cast<const char *>(f.p + f.n), x)) {
                        col.values[row] = x;
                        col.missing[row] = 0;
                        col.any_number = true;
                    } else {
                        col.values[row] = nan;
                        col.missing[row] = 1;
                        if (col.text_row < 0) {  // the raw field, for the message
                            col.text_row = row;
                            col.text_at = f.raw_at;
                            col.text_len = static_cast<uint32_t>(f.raw_n);
                        }
                    }
                }
                const int32_t k = layout.key_of[field];
                if (k >= 0 && !encode_part(key, f, layout.key_na.has(f.p, f.n))) {
                    out.fault = ScanFault::NoMemory;
                    out.rows = row;
                    return;
                }
            }
            ++field;
        }
        if (field != layout.n_fields) {
            out.fault = ScanFault::Ragged;
            out.fault_at = start;
            out.fault_got = field;
            out.rows = row;
            return;
        }
        if (layout.n_keys) {
            const uint64_t hash = key_hash(key.data, key.size);
            uint32_t at;
            const auto klen = static_cast<uint32_t>(key.size);
            int32_t id = memo.find(key.data, klen, hash, at);
            if (id < 0) {
                // A key new to this range: checked once for UTF-8, part by part.
                for (size_t p = 0; p < key.size;) {
                    uint32_t n;
                    std::memcpy(&n, key.data + p, 4);
                    p += 4;
                    if (n == 0xFFFFFFFFu) continue;
                    if (!valid_utf8(key.data + p, n)) {
                        out.fault = ScanFault::KeyNotUtf8;
                        out.fault_at = start;
                        out.rows = row;
                        return;
                    }
                    p += n;
                }
                id = map->id_of(key.data, klen, hash, range << 32 | static_cast<uint64_t>(row));
                if (id < 0) {
                    out.fault = id == -2 ? ScanFault::TooManyKeys : ScanFault::NoMemory;
                    out.fault_at = start;
                    out.rows = row;
                    return;
                }
                memo.insert(at, key.data, klen, hash, id);
            }
            out.ids[row] = id;
        }
        ++row;
    }
    out.rows = row;
    scratch.release();
    key.release();
}

}  // namespace vornel
