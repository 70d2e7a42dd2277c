// Doubles as text: the shortest digits that read back exactly, laid out as Arrow writes
// numbers (CSV output) or as Python's repr does (JSON output).
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vornel {

// The shortest decimal digits of a finite nonzero |x| (at most 17, no leading zero) and
// its decimal point: |x| = 0.digits * 10^point.
struct Shortest {
    char digits[24];
    int n = 0;
    int point = 0;
};

inline Shortest shortest(double x) noexcept {
    char buf[40];
    // Scientific and shortest: "d.ddde+XX" (std::to_chars rounds to the fewest digits that
    // read back as the same double, the same on every machine).
    const auto r =
        std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
    Shortest s;
    const char *p = buf;
    for (; p < r.ptr && *p != 'e'; ++p)
        if (*p != '.') s.digits[s.n++] = *p;
    int exp = 0;
    bool neg = false;
    if (p < r.ptr) {
        ++p;
        if (*p == '+' || *p == '-') neg = *p++ == '-';
        for (; p < r.ptr; ++p) exp = exp * 10 + (*p - '0');
    }
    s.point = (neg ? -exp : exp) + 1;
    return s;
}

// Writes the digits of s in fixed notation at out; returns the end.
inline char *fixed(const Shortest &s, char *out) noexcept {
    if (s.point <= 0) {
        *out++ = '0';
        *out++ = '.';
        for (int i = 0; i < -s.point; ++i) *out++ = '0';
        std::memcpy(out, s.digits, static_cast<size_t>(s.n));
        return out + s.n;
    }
    if (s.point >= s.n) {
        std::memcpy(out, s.digits, static_cast<size_t>(s.n));
        out += s.n;
        for (int i = s.n; i < s.point; ++i) *out++ = '0';
        return out;
    }
    std::memcpy(out, s.digits, static_cast<size_t>(s.point));
    out += s.point;
    *out++ = '.';
    std::memcpy(out, s.digits + s.point, static_cast<size_t>(s.n - s.point));
    return out + (s.n - s.point);
}

// Writes the digits of s as d[.ddd]e<sign><exponent>, the exponent at least `width` digits.
inline char *scientific(const Shortest &s, char *out, int width) noexcept {
    *out++ = s.digits[0];
    if (s.n > 1) {
        *out++ = '.';
        std::memcpy(out, s.digits + 1, static_cast<size_t>(s.n - 1));
        out += s.n - 1;
    }
    int e = s.point - 1;
    *out++ = 'e';
    *out++ = e < 0 ? '-' : '+';
    if (e < 0) e = -e;
    char tmp[8];
    int k = 0;
    do {
        tmp[k++] = static_cast<char>('0' + e % 10);
        e /= 10;
    } while (e);
    for (; k < width; ++k) tmp[k] = '0';
    while (k) *out++ = tmp[--k];
    return out;
}

// Writes the text of the special values and zeros; returns null for the rest.
inline char *special(double x, char *out, bool python) noexcept {
    if (std::isnan(x)) return static_cast<char *>(std::memcpy(out, "nan", 3)) + 3;
    if (std::isinf(x)) {
        if (x < 0) *out++ = '-';
        return static_cast<char *>(std::memcpy(out, "inf", 3)) + 3;
    }
    if (x == 0) {
        if (std::signbit(x)) *out++ = '-';
        *out++ = '0';
        if (python) {
            *out++ = '.';
            *out++ = '0';
        }
        return out;
    }
    return nullptr;
}

// Arrow's form (at most 32 bytes): fixed for decimal points in (-6, 10], else scientific with
// a signed exponent of as many digits as it needs; integers without a point (2, 0.00001,
// 1e-7, 1e+10, -0, inf, nan).
inline char *format_arrow(double x, char *out) noexcept {
    if (char *end = special(x, out, false)) return end;
    if (x < 0) *out++ = '-';
    const Shortest s = shortest(x);
    return -6 < s.point && s.point <= 10 ? fixed(s, out) : scientific(s, out, 1);
}

// Python's repr (at most 32 bytes): fixed for exponents in [-4, 16), with ".0" on integers,
// else scientific with at least two exponent digits (2.0, 1e-05, 1e+16, -0.0, inf, nan).
inline char *format_repr(double x, char *out) noexcept {
    if (char *end = special(x, out, true)) return end;
    if (x < 0) *out++ = '-';
    const Shortest s = shortest(x);
    const int exp = s.point - 1;
    if (exp < -4 || exp >= 16) return scientific(s, out, 2);
    char *end = fixed(s, out);
    if (s.point >= s.n) {
        *end++ = '.';
        *end++ = '0';
    }
    return end;
}

}  // namespace vornel
