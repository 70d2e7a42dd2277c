// libFuzzer harness for stored state: every input is parsed as a blob, and once more with
// its checksum repaired, and the result is checked for consistency.
//
//   clang++ -std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined \
//       -Isrc/vornel tests/fuzz/fuzz_state.cpp src/vornel/stateformat.cpp -o fuzz_state
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "stateformat.hpp"

using vornel::ParseStatus;
using vornel::RecordCheck;
using vornel::RecordFault;
using vornel::StateHeader;
using vornel::StateKind;

namespace {

[[noreturn]] void fail(const char *what, const unsigned char *data, size_t len) {
    std::fprintf(stderr, "invariant broken: %s (blob of %zu bytes:", what, len);
    for (size_t i = 0; i < len && i < 64; ++i) std::fprintf(stderr, " %02x", data[i]);
    std::fprintf(stderr, "%s)\n", len > 64 ? " ..." : "");
    std::abort();
}

bool is_sketch(StateKind kind) {
    return kind == StateKind::Sketch || kind == StateKind::GroupedSketch;
}

// Version 1 knows kinds 1 to 4; version 2 adds the sketch kinds 5 and 6.
bool kind_valid(uint16_t version, StateKind kind) {
    const auto k = static_cast<unsigned>(kind);
    return k >= 1 && k <= (version >= 2 ? 6u : 4u);
}

// For the sketch kinds the count is the payload's length in bytes, its own header at least
// (tests/fuzz/fuzz_sketch.cpp checks payloads).
bool count_valid(StateKind kind, uint64_t count) {
    switch (kind) {
        case StateKind::Stream:
        case StateKind::Record:
            return count == 1;
        case StateKind::Grouped:
            return count >= 1 && count <= 0x7FFFFFFF;
        case StateKind::Records:
            return true;
        case StateKind::Sketch:
        case StateKind::GroupedSketch:
            return count >= vornel::kSketchPayloadMin;
    }
    return false;
}

// An Ok blob is fully described by its header; records are then checked, twice.
void check_ok(const unsigned char *data, size_t len, const StateHeader &h) {
    if (h.version < 1 || h.version > vornel::kStateVersion) fail("version out of range", data, len);
    if (h.version != (data[8] | data[9] << 8)) fail("version not the one stored", data, len);
    if (h.records_offset != vornel::kStateHeaderSize) fail("records offset not 24", data, len);
    if (!kind_valid(h.version, h.kind)) fail("kind out of range for the version", data, len);
    if (!count_valid(h.kind, h.count)) fail("count invalid for the kind", data, len);
    // len is a real allocation, so count * item cannot overflow once it matched.
    const uint64_t item = is_sketch(h.kind) ? 1 : 48;
    if (h.count > (len - 28) / item || len != 28 + item * h.count)
        fail("length not 24 + item size * count + 4", data, len);
    if (vornel::state_crc32(data, len - 4) !=
        (data[len - 4] | data[len - 3] << 8 | data[len - 2] << 16 | uint32_t{data[len - 1]} << 24))
        fail("checksum accepted that does not match", data, len);
    if (is_sketch(h.kind)) return;  // a payload, not records
    const RecordCheck r = vornel::check_records(data + h.records_offset, h.count);
    const RecordCheck again = vornel::check_records(data + h.records_offset, h.count);
    if (r.fault != again.fault || r.index != again.index || r.field != again.field)
        fail("two record checks disagree", data, len);
    if ((r.fault == RecordFault::None) != (r.field == nullptr))
        fail("record fault and field disagree", data, len);
    if (r.fault != RecordFault::None && r.index >= h.count)
        fail("faulty record beyond the count", data, len);
}

// The CRC bit by bit, as its definition reads (reflected polynomial 0xEDB88320).
uint32_t crc_bitwise(const unsigned char *data, size_t len) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) {
        c ^= data[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

// The table-driven CRC equals the bitwise one, and continues across any split as zlib's does.
void check_crc(const unsigned char *data, size_t len) {
    const uint32_t whole = vornel::state_crc32(data, len);
    if (whole != crc_bitwise(data, len)) fail("CRC differs from the bitwise CRC", data, len);
    const size_t cut = len == 0 ? 0 : data[0] % (len + 1);
    if (vornel::state_crc32(data + cut, len - cut, vornel::state_crc32(data, cut)) != whole)
        fail("CRC does not continue across a split", data, len);
}

void parse(const unsigned char *data, size_t len) {
    StateHeader h{}, again{};
    const ParseStatus s = vornel::parse_state(data, len, h);
    const ParseStatus s2 = vornel::parse_state(data, len, again);
    if (s != s2) fail("two parses disagree", data, len);
    const char *msg = vornel::parse_message(s);
    if (!msg || !*msg) fail("empty message", data, len);
    if (s != ParseStatus::Ok) return;
    if (h.version != again.version || h.kind != again.kind || h.count != again.count ||
        h.records_offset != again.records_offset)
        fail("two parses describe different headers", data, len);
    check_ok(data, len, h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Exact-size copies: ASan then catches any read past the blob's end.
    std::vector<unsigned char> blob(data, data + size);
    parse(blob.data(), blob.size());
    check_crc(blob.data(), blob.size());
    // Random mutations almost never keep a checksum valid; a repaired copy lets the
    // checks behind it (and the records) be explored.
    if (size >= 4) {
        const uint32_t crc = vornel::state_crc32(blob.data(), size - 4);
        for (int i = 0; i < 4; ++i) blob[size - 4 + i] = static_cast<unsigned char>(crc >> (8 * i));
        parse(blob.data(), blob.size());
    }
    return 0;
}
