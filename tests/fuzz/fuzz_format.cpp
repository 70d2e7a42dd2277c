// libFuzzer harness for buffer format matching: every input is read as a format string
// against each element type, and the result is checked for consistency.
//
//   clang++ -std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined \
//       -Isrc/vornel tests/fuzz/fuzz_format.cpp src/vornel/format.cpp -o fuzz_format
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format.hpp"

using vornel::ElemType;
using vornel::FormatResult;
using vornel::FormatStatus;

namespace {

[[noreturn]] void fail(const char *what, const std::string &fmt, ElemType e) {
    std::fprintf(stderr, "invariant broken: %s (element type %d, format of %zu bytes: \"",
                 what, static_cast<int>(e), fmt.size());
    for (unsigned char c : fmt) std::fprintf(stderr, c >= 32 && c < 127 ? "%c" : "\\x%02x", c);
    std::fprintf(stderr, "\")\n");
    std::abort();
}

bool known_desc(const char *d) {
    static const char *const descs[] = {
        "'bool'", "'char'", "'signed char'", "'unsigned char'", "'short'", "'unsigned short'",
        "'int'", "'unsigned int'", "'long'", "'unsigned long'", "'long long'",
        "'unsigned long long'", "'float'", "'double'", "'long double'", "'complex float'",
        "'complex double'", "'complex long double'", "Python object", "a string", "end"};
    for (const char *k : descs)
        if (std::strcmp(d, k) == 0) return true;
    return false;
}

// The codes that denote E in native ('@', '^') and standard ('=', '<') mode on this platform.
bool denotes(char code, bool native, ElemType e) {
    switch (e) {
    case ElemType::Double: return code == 'd' || (native && code == 'g' && sizeof(long double) == 8);
    case ElemType::Int32: return code == 'i' || (code == 'l' && (!native || sizeof(long) == 4));
    case ElemType::Int64: return code == 'q' || (native && code == 'l' && sizeof(long) == 8);
    }
    return false;
}

// A second, deliberately simple reading of a string the matcher accepted: after expanding
// repeat counts (of items and of structures) it must hold exactly one item, which denotes E
// in the mode in force, and no pad byte may come before it.
void check_match(const std::string &fmt, ElemType e) {
    std::vector<int64_t> mult{1};  // effective repeat factor of each open structure
    bool native = true, seen = false;
    int64_t count = -1;
    auto times = [&] { return count < 0 ? 1 : count; };
    for (size_t i = 0; i < fmt.size(); ++i) {
        const char c = fmt[i];
        if (c >= '0' && c <= '9') {
            if (i == 0 || fmt[i - 1] < '0' || fmt[i - 1] > '9') count = 0;  // a new number
            count = count > (INT64_MAX - 9) / 10 ? INT64_MAX : count * 10 + (c - '0');
            continue;
        }
        const int64_t t = times(), m = mult.back();
        const int64_t n = m == 0 || t == 0 ? 0 : (m > INT64_MAX / t ? INT64_MAX : m * t);
        switch (c) {
        case ' ': case '\r': case '\n': continue;
        case '@': case '^': native = true; continue;
        case '=': case '<': native = false; continue;
        case ':': {
            const size_t j = fmt.find(':', i + 1);
            if (j == std::string::npos) fail("unclosed field name accepted", fmt, e);
            i = j;
            continue;
        }
        case 'T':
            if (i + 1 >= fmt.size() || fmt[i + 1] != '{') fail("'T' without '{' accepted", fmt, e);
            ++i;
            mult.push_back(n);
            count = -1;
            continue;
        case '}':
            if (mult.size() == 1) fail("stray '}' accepted", fmt, e);
            mult.pop_back();
            count = -1;  // a count left at the end of a structure repeats nothing
            continue;
        case 'x':
            if (n > 0 && !seen) fail("pad bytes before the item accepted", fmt, e);
            count = -1;
            continue;
        case 'Z':
            if (n > 0) fail("complex item accepted", fmt, e);
            if (i + 1 >= fmt.size() || !std::strchr("fdg", fmt[i + 1]))
                fail("bad complex code accepted", fmt, e);
            ++i;
            count = -1;
            continue;
        default:
            if (!std::strchr("?cbBhHiIlLqQfdgOsp", c)) fail("unknown character accepted", fmt, e);
            if (n > 0) {
                if (seen || n != 1) fail("second item accepted", fmt, e);
                if (!denotes(c, native, e)) fail("item of another type accepted", fmt, e);
                seen = true;
            }
            count = -1;
        }
    }
    if (!seen) fail("no item, yet a match", fmt, e);
}

void check(const std::string &fmt, ElemType e, const FormatResult &r) {
    const char *s = fmt.c_str();
    switch (r.status) {
    case FormatStatus::Match: check_match(fmt, e); break;
    case FormatStatus::Mismatch:
    case FormatStatus::ExtraItem:
        if (!r.desc || !known_desc(r.desc)) fail("description missing or unknown", fmt, e);
        if (r.status == FormatStatus::ExtraItem && std::strcmp(r.desc, "end") == 0)
            fail("extra item described as end", fmt, e);
        break;
    case FormatStatus::Offset:
        if (r.offset <= 0) fail("offset error at offset 0 or below", fmt, e);
        if (!std::strchr(s, 'x')) fail("offset error without pad bytes", fmt, e);
        break;
    case FormatStatus::BigEndian:
        if (!std::strchr(s, '>') && !std::strchr(s, '!')) fail("big-endian without '>' or '!'", fmt, e);
        break;
    case FormatStatus::BadChar:
    case FormatStatus::ExpectComma:
        if (r.ch == 0 || !std::strchr(s, r.ch)) fail("reported character not in the string", fmt, e);
        break;
    case FormatStatus::ZChar:
        if (r.ch != 'Z' || !std::strchr(s, 'Z')) fail("'Z' error without 'Z'", fmt, e);
        break;
    case FormatStatus::ExpectBrace:
        if (!std::strchr(s, 'T')) fail("'T' error without 'T'", fmt, e);
        break;
    case FormatStatus::RepeatedArray:
    case FormatStatus::ShapeEnd:
        if (!std::strchr(s, '(')) fail("shape error without '('", fmt, e);
        break;
    case FormatStatus::SubarrayDims:
        if (r.ndims < 1 || !std::strchr(s, ')')) fail("shape dimensions not sane", fmt, e);
        break;
    case FormatStatus::TooDeep: break;
    default: fail("unknown status", fmt, e);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A C format string ends at its first NUL.
    const std::string fmt(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
    int matches = 0;
    for (ElemType e : {ElemType::Double, ElemType::Int32, ElemType::Int64}) {
        const FormatResult r = vornel::match_format(fmt.c_str(), e);
        const FormatResult again = vornel::match_format(fmt.c_str(), e);
        if (r.status != again.status || r.ch != again.ch || r.desc != again.desc ||
            r.offset != again.offset || r.ndims != again.ndims)
            fail("two calls disagree", fmt, e);
        check(fmt, e, r);
        matches += r.status == FormatStatus::Match;
    }
    // No format describes two element types: they differ in kind or size.
    if (matches > 1) fail("one format matches two element types", fmt, ElemType::Double);
    return 0;
}
