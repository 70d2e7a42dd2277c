// Buffer format strings: does a format describe exactly one double, int32_t or int64_t?
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornel {

enum class ElemType : uint8_t { Double, Int32, Int64 };

enum class Kind : uint8_t { Real, SignedInt, UnsignedInt, Character, Complex, Object };

struct ElemInfo {
    const char *name;  // as messages spell it
    size_t size;
    Kind kind;
};

inline constexpr ElemInfo elem_info(ElemType e) noexcept {
    switch (e) {
    case ElemType::Double: return {"double", 8, Kind::Real};
    case ElemType::Int32: return {"int32_t", 4, Kind::SignedInt};
    case ElemType::Int64: return {"int64_t", 8, Kind::SignedInt};
    }
    return {"", 0, Kind::Real};
}

enum class FormatStatus : uint8_t {
    Match,
    Mismatch,       // "expected 'E' but got <desc>"; desc "end" when no item was found
    ExtraItem,      // "expected end but got <desc>": a second item, or a repeat count above 1
    Offset,         // the item sits after pad bytes, at `offset`
    BigEndian,      // '>' or '!'
    BadChar,        // a character the matcher does not understand, in `ch`
    ZChar,          // 'Z' not followed by f, d or g
    ExpectBrace,    // 'T' not followed by '{'
    RepeatedArray,  // a repeat count before '('
    SubarrayDims,   // a well-formed sub-array shape with `ndims` dimensions
    ExpectComma,    // a sub-array shape with `ch` where ',' or ')' belongs
    ShapeEnd,       // the string ends inside a sub-array shape
    TooDeep,        // nesting or repetition beyond any real exporter's need
};

struct FormatResult {
    FormatStatus status;
    char ch;           // BadChar, ZChar, ExpectComma
    const char *desc;  // Mismatch, ExtraItem: the item as messages describe it
    int64_t offset;    // Offset
    int64_t ndims;     // SubarrayDims
};

// Pure function of its arguments: no allocation, no global state; safe to fuzz.
FormatResult match_format(const char *fmt, ElemType e) noexcept;

}  // namespace vornel
