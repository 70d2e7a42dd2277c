// The stored form of accumulator state: header parsing, CRC-32 and record checks.
#include "stateformat.hpp"

#include <array>
#include <cstring>

namespace vornel {
namespace {

// Header size of each format version, by version number (0 is no version). Every version
// ever written stays readable: a later version appends its row here and, where its layout
// differs beyond the header size, a reader of its own in parse_state.
constexpr size_t kHeaderSizeOf[] = {0, 24, 24};
static_assert(std::size(kHeaderSizeOf) == size_t{kStateVersion} + 1,
              "every version up to the newest needs a row");
static_assert(kHeaderSizeOf[kStateVersion] == kStateHeaderSize);

constexpr uint64_t kMaxGroups = 0x7FFFFFFF;  // as CyGroupedStreamStats accepts

// Little-endian loads byte by byte: blobs come from anywhere, aligned or not, and are
// little-endian whatever the host.
uint64_t load_le(const unsigned char *p, size_t n) noexcept {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = v << 8 | p[i];
    return v;
}

bool is_sketch(StateKind kind) noexcept {
    return kind == StateKind::Sketch || kind == StateKind::GroupedSketch;
}

bool count_fits_kind(StateKind kind, uint64_t count) noexcept {
    switch (kind) {
        case StateKind::Stream:
        case StateKind::Record:
            return count == 1;
        case StateKind::Grouped:
            return count >= 1 && count <= kMaxGroups;
        case StateKind::Records:
            return true;
        case StateKind::Sketch:
        case StateKind::GroupedSketch:
            return count >= kSketchPayloadMin;
    }
    return false;
}

// Compares len with header + count * item + checksum, which may not fit in 64 bits.
ParseStatus check_length(size_t len, size_t header, uint64_t count, size_t item) noexcept {
    if (len < header + kStateChecksumSize) return ParseStatus::Truncated;
    const size_t room = len - header - kStateChecksumSize;  // bytes for the records
    if (count > room / item) return ParseStatus::Truncated;
    return room == count * item ? ParseStatus::Ok : ParseStatus::Trailing;
}

// Slicing by 8: table k gives the CRC of a byte followed by k zero bytes, so eight bytes
// fold in with eight independent lookups instead of a chain of eight.
constexpr std::array<std::array<uint32_t, 256>, 8> make_crc_tables() noexcept {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (size_t k = 1; k < 8; ++k) t[k][n] = t[0][t[k - 1][n] & 0xFFu] ^ (t[k - 1][n] >> 8);
    return t;
}

constexpr std::array<std::array<uint32_t, 256>, 8> kCrcTables = make_crc_tables();
constexpr const std::array<uint32_t, 256> &kCrcTable = kCrcTables[0];

uint64_t bits_at(const unsigned char *p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The first field of an empty record (count 0) that differs from its initial value, or null.
const char *empty_fault(const unsigned char *rec) noexcept {
    static constexpr struct {
        const char *name;
        uint64_t bits;
    } kInitial[] = {
        {"sum", 0},
        {"mean", 0},
        {"m2", 0},
        {"min", 0x7FEFFFFFFFFFFFFFu},  // the largest finite double
        {"max", 0xFFEFFFFFFFFFFFFFu},  // its negation
    };
    for (size_t f = 0; f < std::size(kInitial); ++f)
        if (bits_at(rec + 8 * (f + 1)) != kInitial[f].bits) return kInitial[f].name;
    return nullptr;
}

}  // namespace

ParseStatus parse_state(const unsigned char *data, size_t len, StateHeader &out) noexcept {
    if (len < kStateHeaderSize) return ParseStatus::Truncated;
    if (std::memcmp(data, kStateMagic, sizeof kStateMagic) != 0) return ParseStatus::BadMagic;
    const auto version = static_cast<uint16_t>(load_le(data + 8, 2));
    if (version == 0 || version > kStateVersion) return ParseStatus::BadVersion;
    const size_t header = kHeaderSizeOf[version];
    if (len < header) return ParseStatus::Truncated;
    const unsigned char kind_byte = data[10];
    if (kind_byte < 1 || kind_byte > (version >= 2 ? 6 : 4)) return ParseStatus::BadKind;
    const auto kind = static_cast<StateKind>(kind_byte);
    if (data[11] != 0 || load_le(data + 12, 4) != 0) return ParseStatus::BadReserved;
    const uint64_t count = load_le(data + 16, 8);
    if (!count_fits_kind(kind, count)) return ParseStatus::BadCount;
    const size_t item = is_sketch(kind) ? 1 : kStateRecordSize;
    if (const ParseStatus s = check_length(len, header, count, item); s != ParseStatus::Ok)
        return s;
    const size_t body = len - kStateChecksumSize;
    if (state_crc32(data, body) != load_le(data + body, kStateChecksumSize))
        return ParseStatus::BadChecksum;
    out = StateHeader{version, kind, count, header};
    return ParseStatus::Ok;
}

const char *parse_message(ParseStatus s) noexcept {
    switch (s) {
        case ParseStatus::Ok:
            return "valid state";
        case ParseStatus::Truncated:
            return "truncated state: fewer bytes than its header, records and checksum need";
        case ParseStatus::BadMagic:
            return "not a vornel state blob (bad magic bytes)";
        case ParseStatus::BadVersion:
            return "unsupported state format version";
        case ParseStatus::BadKind:
            return "corrupted state: unknown kind byte";
        case ParseStatus::BadReserved:
            return "corrupted state: flags or reserved bytes are not 0";
        case ParseStatus::BadCount:
            return "inconsistent state: a record count that its kind cannot have";
        case ParseStatus::Trailing:
            return "inconsistent state: trailing bytes after the checksum";
        case ParseStatus::BadChecksum:
            return "corrupted state: checksum mismatch";
    }
    return "invalid state";
}

uint32_t state_crc32(const unsigned char *data, size_t len, uint32_t crc) noexcept {
    // zlib's convention: the register holds the complement between calls, so a CRC
    // continues from the result of the previous piece.
    uint32_t c = ~crc;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        const uint32_t lo = c ^ static_cast<uint32_t>(load_le(data + i, 4));
        const uint32_t hi = static_cast<uint32_t>(load_le(data + i + 4, 4));
        const auto &t = kCrcTables;
        c = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^
            t[4][lo >> 24] ^ t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^
            t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
    }
    for (; i < len; ++i) c = kCrcTable[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    return ~c;
}

RecordCheck check_records(const unsigned char *data, uint64_t n) noexcept {
    for (uint64_t i = 0; i < n; ++i) {
        const unsigned char *rec = data + i * kStateRecordSize;
        int64_t count;
        std::memcpy(&count, rec, sizeof count);
        if (count < 0) return {RecordFault::NegativeCount, i, "count"};
        if (count == 0)
            if (const char *field = empty_fault(rec))
                return {RecordFault::NotInitialEmpty, i, field};
    }
    return {RecordFault::None, 0, nullptr};
}

}  // namespace vornel
