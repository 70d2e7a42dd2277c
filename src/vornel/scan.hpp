// The CSV scanner: one byte range of records -> float64 columns, missing flags, group ids.
#pragma once

#include <cstddef>
#include <cstdint>

#include "keymap.hpp"

namespace vornel {

// Cells that stand for a missing value (or key): short byte strings, compared whole.
struct CellSet {
    static constexpr int kMax = 32;
    const unsigned char *cell[kMax];
    uint32_t len[kMax];
    int n = 0;

    bool has(const unsigned char *p, size_t n_bytes) const noexcept;
};

// What each field of a record is for: a value column (0, 1, ...), a key part (the parts of
// a key tuple, in order), or nothing.
struct ScanLayout {
    int32_t n_fields = 0;
    const int32_t *value_of = nullptr;  // per field: value column, or -1
    const int32_t *key_of = nullptr;    // per field: key part, or -1
    int32_t n_values = 0, n_keys = 0;
    CellSet na, key_na;
    // Whether a missing-value cell is a plain decimal (say -999): then every number must be
    // checked against them, and the scanner's shortcut for plain decimals is off.
    bool na_numeric = false;
};

enum class ScanFault : uint8_t {
    None,
    Ragged,       // a record of another number of fields than the header
    StrayQuote,   // a quote inside an unquoted field
    AfterQuote,   // text after the closing quote of a field
    OpenQuote,    // a quoted field that never closes
    KeyNotUtf8,   // a key cell that is not UTF-8 text
    TooManyKeys,  // more than 2^31 - 1 groups
    NoMemory,
};

// Per value column of a range: values (NaN where missing), missing flags, and the first
// cell that is not a number (text), which makes the column text, or an error when named.
struct ColumnOut {
    double *values = nullptr;    // room for the range's row bound
    uint8_t *missing = nullptr;  // likewise; 1 where the cell held no value
    int64_t n_missing = 0;
    bool any_number = false;
    int64_t text_row = -1;       // the first text cell's row, -1 if none
    uint64_t text_at = 0;        // its offset in the range, and its length
    uint32_t text_len = 0;
    bool skip = false;           // set by the caller: a column known to be text is not read
};

struct RangeOut {
    int64_t rows = 0;
    int64_t lines = 0;           // line breaks scanned (LF, CRLF or bare CR), quoted ones too
    int32_t *ids = nullptr;      // per row the group id (room for the row bound), or null
    ColumnOut *cols = nullptr;   // n_values of them
    ScanFault fault = ScanFault::None;
    uint64_t fault_at = 0;       // where it is told: the faulty quote, or a record's end
    int32_t fault_field = -1;    // the field where one is to blame (KeyNotUtf8: the key part)
    int32_t fault_got = 0;       // fields found (Ragged)
};

// An upper bound of the records in data: its line breaks, plus one.
int64_t row_bound(const unsigned char *data, size_t len) noexcept;

// Line breaks (LF, CRLF counted once, or a bare CR) in data[0, len): for line numbers.
int64_t count_lines(const unsigned char *data, size_t len) noexcept;

// Whether any cell of set is a plain decimal (ScanLayout::na_numeric).
bool numeric_cells(const CellSet &set) noexcept;

// Scans the records of data[0, len) (starting outside quotes, at a record's start, and
// ending at a record's end: a quote still open at its end is a fault) into out, keys
// through map at positions (range << 32) + row. Stops at the first fault. Empty lines are
// skipped. Detached-safe: touches no Python object.
void scan_range(const unsigned char *data, size_t len, const ScanLayout &layout, KeyMap *map,
                uint64_t range, RangeOut &out) noexcept;

// Whether p[0, n) is UTF-8 text (no overlong forms, no surrogates, nothing past U+10FFFF).
bool valid_utf8(const unsigned char *p, size_t n) noexcept;

}  // namespace vornel
