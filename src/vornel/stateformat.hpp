// The stored form of accumulator state: header parsing, checksum and record checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornel {

// Layout of a blob (every integer little-endian; docs/state-format.md has the full text):
//   0   8  magic "\x89VRNL\r\n\x1a"
//   8   2  format version (1)
//   10  1  kind (StateKind)
//   11  1  flags, 0
//   12  4  reserved, 0
//   16  8  record count (kinds 1-4) or payload length in bytes (kinds 5-6)
//   24  48 * count  records: count i64, sum, mean, m2, min, max f64; or the sketch payload
//   end 4  CRC-32 (zlib's polynomial) of every byte before it
// Version 2 adds kinds 5 and 6; a blob is written with the oldest version that has its kind,
// so accumulator state stays readable by builds that know version 1 only.
inline constexpr unsigned char kStateMagic[8] = {0x89, 'V', 'R', 'N', 'L', '\r', '\n', 0x1a};
inline constexpr uint16_t kStateVersion = 2;  // the newest version this build reads
inline constexpr size_t kStateHeaderSize = 24;
inline constexpr size_t kStateRecordSize = 48;
inline constexpr size_t kStateChecksumSize = 4;

enum class StateKind : uint8_t {
    Stream = 1,   // a CyStreamStats: exactly one record
    Grouped = 2,  // a CyGroupedStreamStats: 1 to 2^31 - 1 records
    Record = 3,   // a 0-d records array: exactly one record
    Records = 4,  // a 1-d records array: any number of records, 0 included
    Sketch = 5,         // a QuantileSketch: a payload of `count` bytes (version 2)
    GroupedSketch = 6,  // a GroupedQuantileSketch: likewise
};

inline constexpr size_t kSketchPayloadMin = 24;  // a payload's own header

enum class ParseStatus : uint8_t {
    Ok,
    Truncated,    // shorter than its header, or than the records and checksum it announces
    BadMagic,     // not a state blob at all
    BadVersion,   // a version this build does not know (newer, or 0)
    BadKind,      // a kind byte outside StateKind
    BadReserved,  // flags or reserved bytes not 0
    BadCount,     // a record count the kind cannot have
    Trailing,     // bytes after the checksum
    BadChecksum,  // the checksum does not match: corrupted data
};

struct StateHeader {
    uint16_t version;
    StateKind kind;
    uint64_t count;         // records, or payload bytes for the sketch kinds
    size_t records_offset;  // where the records (or the payload) start in the blob
};

// Pure: reads only data[0, len), allocates nothing, keeps no state; safe to fuzz. On Ok,
// out describes a blob whose records lie wholly inside data and whose checksum matched.
ParseStatus parse_state(const unsigned char *data, size_t len, StateHeader &out) noexcept;

// A one-line English description of a status, for the ValueError that loads raises.
const char *parse_message(ParseStatus s) noexcept;

// CRC-32 as zlib.crc32 computes it (reflected polynomial 0xEDB88320), continued from crc.
uint32_t state_crc32(const unsigned char *data, size_t len, uint32_t crc = 0) noexcept;

// What real adds and merges can never produce in a record.
enum class RecordFault : uint8_t {
    None,
    NegativeCount,    // field "count"
    NotInitialEmpty,  // count 0, but `field` is not its initial value (bit for bit)
};

struct RecordCheck {
    RecordFault fault;
    uint64_t index;     // the first faulty record
    const char *field;  // its first faulty field, by name
};

// Checks n records of 48 bytes each at data (native byte order, any alignment).
RecordCheck check_records(const unsigned char *data, uint64_t n) noexcept;

}  // namespace vornel
