// libFuzzer harness for the CSV scanner: each input is cut into ranges as the table layer cuts
// a file, the ranges are scanned in turn, and what they give together is checked against a
// plain reading of the whole input. Built (one command line) with
//
//   clang++ -std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined
//       -Isrc/vornel tests/fuzz/fuzz_scan.cpp src/vornel/scan.cpp src/vornel/keymap.cpp
//       -o fuzz_scan
//
// An input is a head of kHead bytes, which picks the layout and the range sizes, then the
// records of a CSV file after its header line (what the scanner is given):
//
//   0     fields: 1 + b % 8
//   1, 2  two bits per field, the first field lowest: 0 none, 1 or 2 value, 3 key part
//         (which takes effect in one input in kKeyedOneIn, see there; else none)
//   3     bits 0-2 rotate the key parts and bit 3 reverses them (so that they need not come
//         in field order); bits 4-5 order the value columns; bits 6-7 the missing-key cells
//   4, 5  missing-value cells, a bit for each of kNa
//   6     0b11xxxxxx: the value columns whose bit is set in the low six are skipped
//   7, 8  four range sizes, a nibble each (kSizes), taken in turn
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "keymap.hpp"
#include "scan.hpp"

using vornel::ScanFault;

// The harness's own code stays out of the coverage counters: the fuzzer steers by the
// scanner's branches, and the reference, which reads a byte at a time, would cost a callback
// per comparison.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((no_sanitize("coverage"))), apply_to = function)
#endif

namespace {

const unsigned char *g_input = nullptr;
size_t g_input_len = 0;

[[noreturn]] __attribute__((format(printf, 1, 2))) void fail(const char *fmt, ...) {
    std::fprintf(stderr, "invariant broken: ");
    va_list args;
    va_start(args, fmt);
    std::vfprintf(stderr, fmt, args);
    va_end(args);
    std::fprintf(stderr, " (input of %zu bytes: \"", g_input_len);
    for (size_t i = 0; i < g_input_len && i < 512; ++i) {
        const unsigned char c = g_input[i];
        std::fprintf(stderr, c >= 32 && c < 127 && c != '"' && c != '\\' ? "%c" : "\\x%02x", c);
    }
    std::fprintf(stderr, "%s\")\n", g_input_len > 512 ? "..." : "");
    std::abort();
}

// ---------------------------------------------------------------------------------------
// The layout, from the head of the input.

constexpr size_t kHead = 9;

// Missing-value cells to draw from: the table layer's defaults, plain decimals (which turn
// the scanner's shortcut for them off), numbers of the other forms, and cells that only a
// quoted field holds.
const char *const kNa[16] = {"",  "NA", "N/A", "NULL", "nan", "-999", "0",   "1e5",
                             "+1", "inf", " ", "-",   "\"",  "x,y",  "1.", "\n"};
// Missing-key cells: the default, none, and two sets with text that is not UTF-8.
const std::vector<std::string> kKeyNa[4] = {{""}, {}, {"", "NA"}, {"-", "\xff"}};
constexpr size_t kSizes[16] = {1,  2,  3,   5,   8,   13,  21,  34,
                               55, 89, 144, 233, 377, 610, 987, size_t{1} << 20};
// Each range of a layout with keys costs the scanner a fresh memo of keys (two MiB, whose
// pages a sanitized build faults in anew: a millisecond or more, twenty times the rest of
// an input). So key parts take effect only in inputs whose FNV-1a hash is a multiple of
// kKeyedOneIn (so that the share holds however the corpus grows; tools/fuzz_seeds.py picks
// such heads for its seeds with keys), and those get two ranges (a third when the input
// does not end at a record's end), enough for keys met again in another range. Other
// layouts get up to kMaxRanges.
constexpr uint32_t kKeyedOneIn = 32;
constexpr size_t kMaxKeyedRanges = 2, kMaxRanges = 32;

uint32_t fnv1a(const unsigned char *p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

struct Layout {
    int32_t n_fields = 0, n_values = 0, n_keys = 0;
    std::vector<int32_t> value_of, key_of;  // per field, -1 when not one
    std::vector<int32_t> field_of_part;     // per key part, its field
    std::vector<std::string> na, key_na;
    std::vector<uint8_t> skip;              // per value column
    size_t sizes[4];
    vornel::ScanLayout scan;                // points into the above

    Layout(const unsigned char *h, bool keyed) {
        n_fields = 1 + h[0] % 8;
        value_of.assign(static_cast<size_t>(n_fields), -1);
        key_of.assign(static_cast<size_t>(n_fields), -1);
        const unsigned roles = h[1] | unsigned{h[2]} << 8;
        std::vector<int32_t> values, keys;  // their fields, in field order
        for (int32_t f = 0; f < n_fields; ++f) {
            const unsigned r = roles >> (2 * f) & 3;
            if (r == 1 || r == 2) values.push_back(f);
            if (r == 3 && keyed) keys.push_back(f);
        }
        n_values = static_cast<int32_t>(values.size());
        n_keys = static_cast<int32_t>(keys.size());
        for (int32_t k = 0; k < n_values; ++k) {
            const int32_t order = h[3] >> 4 & 3;
            const int32_t col = order == 0   ? k
                                : order == 1 ? n_values - 1 - k
                                : order == 2 ? (k + 1) % n_values
                                             : (k + n_values - 1) % n_values;
            value_of[static_cast<size_t>(values[static_cast<size_t>(k)])] = col;
        }
        field_of_part.assign(static_cast<size_t>(n_keys), -1);
        for (int32_t k = 0; k < n_keys; ++k) {
            const int32_t part = ((h[3] & 8 ? n_keys - 1 - k : k) + (h[3] & 7)) % n_keys;
            key_of[static_cast<size_t>(keys[static_cast<size_t>(k)])] = part;
            field_of_part[static_cast<size_t>(part)] = keys[static_cast<size_t>(k)];
        }
        const unsigned na_bits = h[4] | unsigned{h[5]} << 8;
        for (int i = 0; i < 16; ++i)
            if (na_bits >> i & 1) na.emplace_back(kNa[i]);
        key_na = kKeyNa[h[3] >> 6];
        skip.assign(static_cast<size_t>(n_values), 0);
        for (int32_t v = 0; v < n_values && v < 6; ++v)
            skip[static_cast<size_t>(v)] = (h[6] & 0xC0) == 0xC0 && (h[6] >> v & 1);
        for (int i = 0; i < 4; ++i) sizes[i] = kSizes[h[7 + i / 2] >> (4 * (i % 2)) & 15];

        scan.n_fields = n_fields;
        scan.value_of = value_of.data();
        scan.key_of = key_of.data();
        scan.n_values = n_values;
        scan.n_keys = n_keys;
        fill(scan.na, na);
        fill(scan.key_na, key_na);
        scan.na_numeric = vornel::numeric_cells(scan.na);  // as the module sets it
    }
    Layout(const Layout &) = delete;
    Layout &operator=(const Layout &) = delete;

    static void fill(vornel::CellSet &set, const std::vector<std::string> &cells) {
        set.n = static_cast<int>(cells.size());
        for (size_t i = 0; i < cells.size(); ++i) {
            set.cell[i] = reinterpret_cast<const unsigned char *>(cells[i].data());
            set.len[i] = static_cast<uint32_t>(cells[i].size());
        }
    }
};

// ---------------------------------------------------------------------------------------
// The reference: a byte-at-a-time reading of RFC 4180 records (line breaks LF, CRLF or a bare
// CR; empty lines hold no record), and of the number forms numparse.hpp documents, sharing
// no code with the scanner.

struct Cell {
    size_t at = 0, end = 0;  // the raw field, quotes included: input[at, end)
    std::string text;        // its content, quotes undone
};

struct Record {
    size_t start = 0, end = 0;  // its first byte; the line break or input end after it
    std::vector<Cell> cells;
};

struct Reading {
    std::vector<Record> records;  // the records before the first fault
    std::vector<size_t> bounds;   // where a range may end: after a line break outside quotes
    ScanFault fault = ScanFault::None;
    size_t fault_at = 0;
    int32_t fault_field = -1, fault_got = 0;
    Record partial;  // the faulty record: its start, and the fields read before the fault
};

// UTF-8 by the table of well-formed byte sequences (Unicode, table 3-7).
bool utf8_text(const std::string &s) {
    size_t i = 0;
    const size_t n = s.size();
    auto in = [&](size_t at, unsigned lo, unsigned hi) {
        return at < n && static_cast<unsigned char>(s[at]) >= lo &&
               static_cast<unsigned char>(s[at]) <= hi;
    };
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c <= 0x7F) {
            i += 1;
        } else if (c >= 0xC2 && c <= 0xDF && in(i + 1, 0x80, 0xBF)) {
            i += 2;
        } else if (c == 0xE0 && in(i + 1, 0xA0, 0xBF) && in(i + 2, 0x80, 0xBF)) {
            i += 3;
        } else if (((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) && in(i + 1, 0x80, 0xBF) &&
                   in(i + 2, 0x80, 0xBF)) {
            i += 3;
        } else if (c == 0xED && in(i + 1, 0x80, 0x9F) && in(i + 2, 0x80, 0xBF)) {
            i += 3;
        } else if (c == 0xF0 && in(i + 1, 0x90, 0xBF) && in(i + 2, 0x80, 0xBF) &&
                   in(i + 3, 0x80, 0xBF)) {
            i += 4;
        } else if (c >= 0xF1 && c <= 0xF3 && in(i + 1, 0x80, 0xBF) && in(i + 2, 0x80, 0xBF) &&
                   in(i + 3, 0x80, 0xBF)) {
            i += 4;
        } else if (c == 0xF4 && in(i + 1, 0x80, 0x8F) && in(i + 2, 0x80, 0xBF) &&
                   in(i + 3, 0x80, 0xBF)) {
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

using Key = std::vector<std::optional<std::string>>;  // per key part; nullopt: missing

// A complete record's key, parts in part order.
Key key_of_record(const Layout &l, const Record &r) {
    Key key;
    for (const int32_t f : l.field_of_part) {
        const std::string &t = r.cells[static_cast<size_t>(f)].text;
        if (std::find(l.key_na.begin(), l.key_na.end(), t) != l.key_na.end())
            key.emplace_back(std::nullopt);
        else
            key.emplace_back(t);
    }
    return key;
}

Reading read_reference(const unsigned char *d, size_t n, const Layout &l) {
    enum class State { LineStart, FieldStart, Unquoted, Quoted, QuoteSeen };
    Reading out;
    State state = State::LineStart;
    Record rec;
    Cell cell;
    auto stop = [&](ScanFault kind, size_t at, int32_t field, int32_t got) {
        out.fault = kind;
        out.fault_at = at;
        out.fault_field = field;
        out.fault_got = got;
        out.partial = rec;
    };
    auto end_cell = [&](size_t at) {
        cell.end = at;
        rec.cells.push_back(std::move(cell));
        cell = Cell();
    };
    // A record ends at `at`; false when it is faulty (then the reading stops).
    auto end_record = [&](size_t at) {
        rec.end = at;
        const auto got = static_cast<int32_t>(rec.cells.size());
        if (got != l.n_fields) {
            stop(ScanFault::Ragged, at, -1, got);
            return false;
        }
        const Key key = key_of_record(l, rec);
        for (size_t part = 0; part < key.size(); ++part) {
            if (key[part] && !utf8_text(*key[part])) {
                stop(ScanFault::KeyNotUtf8, at, static_cast<int32_t>(part), 0);
                return false;
            }
        }
        out.records.push_back(std::move(rec));
        rec = Record();
        return true;
    };
    for (size_t i = 0; i <= n;) {
        const int c = i < n ? d[i] : -1;  // -1: the end of input
        const bool brk = c == '\n' || c == '\r';
        const auto field = static_cast<int32_t>(rec.cells.size());
        switch (state) {
            case State::LineStart:
                if (c < 0) return out;
                if (brk) {  // an empty line, or the break that ended a record
                    if (!(c == '\r' && i + 1 < n && d[i + 1] == '\n')) out.bounds.push_back(i + 1);
                    ++i;
                } else {
                    rec.start = i;
                    rec.cells.reserve(static_cast<size_t>(l.n_fields));
                    state = State::FieldStart;
                }
                continue;
            case State::FieldStart:
                cell.at = i;
                if (c == '"') {
                    state = State::Quoted;
                    ++i;
                } else {
                    state = State::Unquoted;
                }
                continue;
            case State::Unquoted:
                if (c == '"') {
                    stop(ScanFault::StrayQuote, i, field, 0);
                    return out;
                }
                if (c == ',') {
                    end_cell(i);
                    state = State::FieldStart;
                } else if (c < 0 || brk) {
                    end_cell(i);
                    if (!end_record(i)) return out;
                    state = State::LineStart;
                    continue;  // the break, as at a line's start
                } else {
                    cell.text += static_cast<char>(c);
                }
                ++i;
                continue;
            case State::Quoted:
                if (c < 0) {
                    stop(ScanFault::OpenQuote, cell.at, field, 0);
                    return out;
                }
                if (c == '"')
                    state = State::QuoteSeen;
                else
                    cell.text += static_cast<char>(c);
                ++i;
                continue;
            case State::QuoteSeen:  // a quote inside a quoted field: doubled, or the end
                if (c == '"') {
                    cell.text += '"';
                    state = State::Quoted;
                } else if (c == ',') {
                    end_cell(i);
                    state = State::FieldStart;
                } else if (c < 0 || brk) {
                    end_cell(i);
                    if (!end_record(i)) return out;
                    state = State::LineStart;
                    continue;
                } else {
                    stop(ScanFault::AfterQuote, i, field, 0);
                    return out;
                }
                ++i;
                continue;
        }
    }
    return out;
}

// Line breaks in d[from, to): LF, CRLF (once) and bare CR, inside quotes or not.
int64_t lines_in(const unsigned char *d, size_t from, size_t to) {
    int64_t lines = 0;
    for (size_t i = from; i < to; ++i)
        lines += d[i] == '\n' || (d[i] == '\r' && !(i + 1 < to && d[i + 1] == '\n'));
    return lines;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// A cell as numparse.hpp documents its numbers: spaces and tabs around, an optional sign,
// then inf, infinity, nan or nan(letters, digits, _) in any case, or digits with an
// optional point and exponent, at least one digit before the exponent; the value the
// nearest double (glibc's strtod rounds correctly, to infinity or zero past the doubles).
bool reference_number(const std::string &cell, double &x) {
    size_t a = 0, b = cell.size();
    while (a < b && (cell[a] == ' ' || cell[a] == '\t')) ++a;
    while (b > a && (cell[b - 1] == ' ' || cell[b - 1] == '\t')) --b;
    bool negative = false;
    if (a < b && (cell[a] == '+' || cell[a] == '-')) negative = cell[a++] == '-';
    if (a == b) return false;
    std::string s;
    for (size_t i = a; i < b; ++i) s += lower(cell[i]);
    double v;
    if (s == "inf" || s == "infinity") {
        v = HUGE_VAL;
    } else if (s.compare(0, 3, "nan") == 0) {
        if (s.size() > 3) {
            if (s[3] != '(' || s.back() != ')') return false;
            for (size_t i = 4; i + 1 < s.size(); ++i)
                if (!digit(s[i]) && !(s[i] >= 'a' && s[i] <= 'z') && s[i] != '_') return false;
        }
        v = std::nan("");
    } else {
        size_t i = 0, mantissa = 0;
        for (; i < s.size() && digit(s[i]); ++i) ++mantissa;
        if (i < s.size() && s[i] == '.')
            for (++i; i < s.size() && digit(s[i]); ++i) ++mantissa;
        if (mantissa == 0) return false;
        if (i < s.size() && s[i] == 'e') {
            ++i;
            if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
            size_t exponent = 0;
            for (; i < s.size() && digit(s[i]); ++i) ++exponent;
            if (exponent == 0) return false;
        }
        if (i != s.size()) return false;
        v = std::strtod(s.c_str(), nullptr);
    }
    x = negative ? -v : v;
    return true;
}

enum class Kind : uint8_t { Missing, Number, Text };

Kind classify(const Layout &l, const std::string &text, double &x) {
    if (std::find(l.na.begin(), l.na.end(), text) != l.na.end()) return Kind::Missing;
    return reference_number(text, x) ? Kind::Number : Kind::Text;
}

uint64_t bits(double x) {
    uint64_t b;
    std::memcpy(&b, &x, 8);
    return b;
}

// Marks a cell slot the scanner must write; anything but 0 and 1 in a missing flag.
constexpr uint64_t kUnwritten = 0xFFF4DEADBEEF0001u;
constexpr uint8_t kUnwrittenFlag = 0xA5;
constexpr int32_t kUnwrittenId = -7;

// What one value column of a range should report besides its cells.
struct ColumnWant {
    int64_t n_missing = 0;
    bool any_number = false;
    int64_t text_row = -1;
    uint64_t text_at = 0;
    uint32_t text_len = 0;
};

// Ranges as csvfile._ranges cuts them: each read adds the next size's bytes to what was
// carried over, and a range ends at the last record boundary read so far (when there is
// none, it reads on); what is left at the end of input is the last range. A CRLF is never
// cut in two.
std::vector<std::pair<size_t, size_t>> cut_ranges(size_t n, const Reading &ref,
                                                  const Layout &l) {
    std::vector<std::pair<size_t, size_t>> out;
    const size_t most = l.n_keys ? kMaxKeyedRanges : kMaxRanges;
    size_t start = 0, read = 0;
    for (size_t k = 0;; ++k) {
        const size_t size = out.size() + 1 >= most ? n : l.sizes[k % 4];
        const size_t got = std::min(size, n - read);
        if (got == 0) {
            if (start < n) out.emplace_back(start, n);
            return out;
        }
        read += got;
        const auto after = std::upper_bound(ref.bounds.begin(), ref.bounds.end(), read);
        if (after == ref.bounds.begin() || after[-1] <= start) continue;
        out.emplace_back(start, after[-1]);
        start = after[-1];
    }
}

// Decodes the key map's bytes of a key: per part a 32-bit length (all ones: missing) and
// the bytes; false when they are not n_parts such parts exactly.
bool decode_key(const unsigned char *p, size_t len, int32_t n_parts, Key &key) {
    key.clear();
    size_t i = 0;
    for (int32_t part = 0; part < n_parts; ++part) {
        if (len - i < 4) return false;
        uint32_t n;
        std::memcpy(&n, p + i, 4);
        i += 4;
        if (n == 0xFFFFFFFFu) {
            key.emplace_back(std::nullopt);
            continue;
        }
        if (len - i < n) return false;
        key.emplace_back(std::string(reinterpret_cast<const char *>(p + i), n));
        i += n;
    }
    return i == len;
}

// The keys met so far: ids both ways, and the first position of each new key.
struct Keys {
    std::map<Key, int32_t> id_of;
    std::vector<const Key *> key_of;  // by id
    std::vector<std::pair<const Key *, uint64_t>> firsts;  // in order of first appearance

    void check(const Key &key, int32_t id, uint64_t pos, size_t row) {
        if (id < 0 || static_cast<size_t>(id) >= key_of.size() + 1)
            fail("row %zu: group id %d out of order (%zu keys so far)", row, id, key_of.size());
        const auto [it, fresh] = id_of.emplace(key, id);
        if (fresh != (static_cast<size_t>(id) == key_of.size()))
            fail("row %zu: group id %d, but its key is %s", row, id,
                 fresh ? "new" : "known by another id");
        if (!fresh && it->second != id)
            fail("row %zu: group id %d for a key that had id %d", row, id, it->second);
        if (fresh) {
            key_of.push_back(&it->first);
            firsts.emplace_back(&it->first, pos);
        }
    }
};

// The key map against the keys met: as many, each with its first position and its bytes,
// in order of first appearance.
void check_map(const vornel::KeyMap &map, const Keys &keys, int32_t n_parts) {
    const int64_t size = map.size();
    if (size != static_cast<int64_t>(keys.firsts.size()))
        fail("the key map holds %lld keys, the input %zu", static_cast<long long>(size),
             keys.firsts.size());
    std::vector<vornel::KeyMap::Key> ordered(static_cast<size_t>(size) + 1);
    map.ordered(ordered.data());
    Key key;
    for (size_t i = 0; i < keys.firsts.size(); ++i) {
        const vornel::KeyMap::Key &k = ordered[i];
        if (k.first != keys.firsts[i].second)
            fail("key %zu first met at %llx, not %llx", i, static_cast<unsigned long long>(k.first),
                 static_cast<unsigned long long>(keys.firsts[i].second));
        if (k.id < 0 || static_cast<size_t>(k.id) >= keys.key_of.size() ||
            keys.key_of[static_cast<size_t>(k.id)] != keys.firsts[i].first)
            fail("key %zu has id %d, not the rows' id", i, k.id);
        if (!decode_key(k.bytes, k.len, n_parts, key) || key != *keys.firsts[i].first)
            fail("key %zu: the map's bytes are not the key's parts in order", i);
    }
}

// Adds a value cell of row `row` to what its column should report.
void tally(ColumnWant &w, Kind kind, const Cell &cell, int64_t row, size_t range_start) {
    if (kind == Kind::Missing) {
        ++w.n_missing;
    } else if (kind == Kind::Number) {
        w.any_number = true;
    } else if (w.text_row < 0) {
        w.text_row = row;
        w.text_at = cell.at - range_start;
        w.text_len = static_cast<uint32_t>(cell.end - cell.at);
    }
}

const char *fault_name(ScanFault f) {
    static const char *const names[] = {"none",      "ragged",     "stray quote",
                                        "after quote", "open quote", "key not UTF-8",
                                        "too many keys", "no memory"};
    const auto i = static_cast<size_t>(f);
    return i < 8 ? names[i] : "unknown";
}

void run(const unsigned char *head, const unsigned char *input, size_t n, bool keyed) {
    const Layout l(head, keyed);
    const Reading ref = read_reference(input, n, l);
    const auto ranges = cut_ranges(n, ref, l);
    vornel::KeyMap map;
    Keys keys;
    const auto n_values = static_cast<size_t>(l.n_values);
    std::vector<std::vector<uint64_t>> values(n_values);
    std::vector<std::vector<uint8_t>> missing(n_values);
    std::vector<vornel::ColumnOut> cols(n_values + 1);
    std::vector<ColumnWant> want;
    size_t next = 0;  // the reference record of the next row
    for (size_t r = 0; r < ranges.size(); ++r) {
        const auto [start, end] = ranges[r];
        const size_t len = end - start;
        // An exact-size copy, so that a read past the range's end is seen.
        std::vector<unsigned char> data(input + start, input + end);
        const int64_t bound = vornel::row_bound(data.data(), len);
        if (bound < 1) fail("range %zu: a row bound of %lld", r, static_cast<long long>(bound));
        const auto rows_room = static_cast<size_t>(bound);
        for (size_t v = 0; v < static_cast<size_t>(l.n_values); ++v) {
            cols[v] = vornel::ColumnOut();
            cols[v].skip = l.skip[v];
            if (l.skip[v]) continue;  // as the module passes them: no arrays
            // Fresh arrays of exactly the bound, so that a write past it is seen.
            values[v] = std::vector<uint64_t>(rows_room, kUnwritten);
            missing[v] = std::vector<uint8_t>(rows_room, kUnwrittenFlag);
            cols[v].values = reinterpret_cast<double *>(values[v].data());
            cols[v].missing = missing[v].data();
        }
        std::vector<int32_t> ids(l.n_keys ? rows_room : 0, kUnwrittenId);
        vornel::RangeOut out;
        out.cols = cols.data();
        out.ids = l.n_keys ? ids.data() : nullptr;
        vornel::scan_range(data.data(), len, l.scan, l.n_keys ? &map : nullptr, r, out);

        // The reference's records in this range, and its fault when it lies here.
        size_t last = next;
        while (last < ref.records.size() && ref.records[last].start < end) ++last;
        const int64_t rows = static_cast<int64_t>(last - next);
        const bool faulty = ref.fault != ScanFault::None && ref.partial.start >= start &&
                            ref.partial.start < end;
        if (out.fault != (faulty ? ref.fault : ScanFault::None))
            fail("range %zu [%zu, %zu): fault %s, the reference %s at %zu", r, start, end,
                 fault_name(out.fault), faulty ? fault_name(ref.fault) : "none",
                 faulty ? ref.fault_at : 0);
        if (faulty && (out.fault_at != ref.fault_at - start || out.fault_field != ref.fault_field ||
                       out.fault_got != ref.fault_got))
            fail("range %zu: %s at %zu (field %d, got %d), the reference at %zu (%d, %d)", r,
                 fault_name(ref.fault), start + static_cast<size_t>(out.fault_at),
                 out.fault_field, out.fault_got, ref.fault_at, ref.fault_field, ref.fault_got);
        if (out.rows != rows)
            fail("range %zu [%zu, %zu): %lld rows, the reference %lld", r, start, end,
                 static_cast<long long>(out.rows), static_cast<long long>(rows));
        if (!faulty && out.lines != lines_in(input, start, end))
            fail("range %zu: %lld lines, the reference %lld", r, static_cast<long long>(out.lines),
                 static_cast<long long>(lines_in(input, start, end)));

        want.assign(n_values, ColumnWant());
        for (int64_t row = 0; row < rows; ++row) {
            const Record &rec = ref.records[next + static_cast<size_t>(row)];
            for (size_t f = 0; f < static_cast<size_t>(l.n_fields); ++f) {
                const int32_t v = l.value_of[f];
                if (v < 0 || l.skip[static_cast<size_t>(v)]) continue;
                const auto vi = static_cast<size_t>(v);
                const auto ri = static_cast<size_t>(row);
                double x = 0;
                const Kind kind = classify(l, rec.cells[f].text, x);
                tally(want[vi], kind, rec.cells[f], row, start);
                const uint8_t flag = missing[vi][ri];
                double got;
                std::memcpy(&got, &values[vi][ri], 8);
                const bool same =
                    kind == Kind::Number
                        ? flag == 0 && (std::isnan(x) ? std::isnan(got) : bits(got) == bits(x))
                        : flag == 1 && std::isnan(got);
                if (!same)
                    fail("range %zu row %lld field %zu (column %d, \"%s\"): %a missing %d, "
                         "the reference %a missing %d",
                         r, static_cast<long long>(row), f, v, rec.cells[f].text.c_str(), got,
                         flag, kind == Kind::Number ? x : NAN, kind != Kind::Number);
            }
            if (l.n_keys)
                keys.check(key_of_record(l, rec), ids[static_cast<size_t>(row)],
                           static_cast<uint64_t>(r) << 32 | static_cast<uint64_t>(row),
                           next + static_cast<size_t>(row));
        }
        // The faulty record's cells before the fault count too (not its values).
        for (size_t f = 0; faulty && f < ref.partial.cells.size() && f < l.value_of.size(); ++f) {
            const int32_t v = l.value_of[f];
            if (v < 0 || l.skip[static_cast<size_t>(v)]) continue;
            double x;
            const Kind kind = classify(l, ref.partial.cells[f].text, x);
            tally(want[static_cast<size_t>(v)], kind, ref.partial.cells[f], rows, start);
        }
        for (size_t v = 0; v < n_values; ++v) {
            const vornel::ColumnOut &c = cols[v];
            const ColumnWant &w = want[v];
            if (c.n_missing != w.n_missing || c.any_number != w.any_number)
                fail("range %zu column %zu: %lld missing, numbers %d; the reference %lld, %d", r,
                     v, static_cast<long long>(c.n_missing), c.any_number,
                     static_cast<long long>(w.n_missing), w.any_number);
            if (c.text_row != w.text_row ||
                (w.text_row >= 0 && (c.text_at != w.text_at || c.text_len != w.text_len)))
                fail("range %zu column %zu: first text cell in row %lld at %llu (%u bytes), the "
                     "reference row %lld at %llu (%u bytes)",
                     r, v, static_cast<long long>(c.text_row),
                     static_cast<unsigned long long>(c.text_at), c.text_len,
                     static_cast<long long>(w.text_row),
                     static_cast<unsigned long long>(w.text_at), w.text_len);
        }
        next = last;
        if (out.fault != ScanFault::None) break;  // the table layer stops there too
    }
    if (next != ref.records.size())
        fail("%zu rows scanned, the reference reads %zu", next, ref.records.size());
    if (l.n_keys) check_map(map, keys, l.n_keys);
}

}  // namespace

#if defined(__clang__)
#pragma clang attribute pop
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHead) return 0;
    g_input = data;
    g_input_len = size;
    run(data, data + kHead, size - kHead, fnv1a(data, size) % kKeyedOneIn == 0);
    return 0;
}
