// CSV numbers: the accepted forms and their correctly rounded values.
#pragma once

#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace vornel {

// Where an out-of-range decimal lies: above the doubles (its order of magnitude positive,
// an overflow to infinity) or below them (an underflow to zero). Only well-formed decimals
// reach here, so a digit run, an optional point and an optional exponent.
inline bool overflows(const char *p, const char *end) noexcept {
    int64_t order = 0;  // digits before the point after leading zeros, or -(zeros after it)
    bool seen = false, point = false;
    for (; p < end && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            point = true;
        } else if (*p >= '0' && *p <= '9') {
            if (!seen && *p == '0') {
                if (point) --order;
            } else {
                seen = true;
                if (!point) ++order;
            }
        }
    }
    if (!seen) return false;  // all zeros: never out of range, but be safe
    int64_t exp = 0;
    bool neg = false;
    if (p < end) {
        ++p;  // the e
        if (p < end && (*p == '+' || *p == '-')) neg = *p++ == '-';
        for (; p < end && exp < (int64_t{1} << 40); ++p) exp = exp * 10 + (*p - '0');
    }
    return order + (neg ? -exp : exp) > 0;
}

// A cell as a number: spaces and tabs around it, an optional sign, then digits with an
// optional point and exponent (at least one digit before the exponent), or inf, infinity,
// nan or nan(letters, digits, _) in any case. The value is the nearest double (ties to
// even), so it never depends on where ranges or threads cut the input; beyond the doubles
// it is an infinity, below them a zero. False: not a number (the cell is text).
inline bool parse_number(const char *p, const char *end, double &out) noexcept {
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    while (end > p && (end[-1] == ' ' || end[-1] == '\t')) --end;
    if (p == end) return false;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        if (p == end || *p == '+' || *p == '-') return false;
    }
    double v;
    const auto r = std::from_chars(p, end, v, std::chars_format::general);
    if (r.ptr != end) return false;
    if (r.ec == std::errc::result_out_of_range) {
        v = overflows(p, end) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (r.ec != std::errc()) {
        return false;
    }
    out = negative ? -v : v;
    return true;
}

}  // namespace vornel
