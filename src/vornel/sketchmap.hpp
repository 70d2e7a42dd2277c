// The bucket mapping of the quantile sketch: value -> bucket index from the IEEE bits alone.
#pragma once

#include <cstdint>
#include <cstring>

namespace vornel {

// Relative-error log buckets (Masson, Rim and Lee, "DDSketch", VLDB 2019), with the
// logarithm replaced by an interpolated one as the paper's fast mappings do: a normal
// double x = 2^e * (1 + s), 0 <= s < 1, falls in bucket e * k + floor(k * P(s)), where the
// cubic P(s) = (6/35 s^2 - 3/5 s + 10/7) s rises from P(0) = 0 to P(1) = 1. Its
// coefficients make P' as close to log2(1 + s)' as a cubic can in ratio (worst ratio
// 1.0099, against 1.4427 for a straight line), so k need be only 1 % above what an exact
// log2 needs. Every step is one IEEE operation (the build never contracts them), so the
// index of a value is the same on every machine, and no C library log or pow is involved.
inline constexpr double kP1 = 10.0 / 7.0;
inline constexpr double kP2 = -3.0 / 5.0;
inline constexpr double kP3 = 6.0 / 35.0;

// k stays below 2^20, so every index e * k + j (e biased, 1 to 2046) fits in 31 bits with
// room for the signed ordinals of the grouped layout.
inline constexpr int32_t kMaxK = 1 << 20;
inline constexpr int32_t kExponents = 2046;  // biased exponents of normal doubles: 1..2046

inline constexpr uint64_t kMantissa = (uint64_t{1} << 52) - 1;
inline constexpr uint64_t kOneBits = uint64_t{0x3FF} << 52;

inline uint64_t bits_of(double x) noexcept {
    uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

inline double double_of(uint64_t b) noexcept {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// P(s) for the mantissa bits m of a normal double (s = m * 2^-52, exact).
inline double interpolated(uint64_t mantissa) noexcept {
    const double s = double_of(mantissa | kOneBits) - 1.0;
    return ((kP3 * s + kP2) * s + kP1) * s;
}

// The position of mantissa bits in their octave, 0 to k - 1.
inline int32_t sub_bucket(uint64_t mantissa, double kd, int32_t k) noexcept {
    const auto j = static_cast<int32_t>(interpolated(mantissa) * kd);
    return j < k ? j : k - 1;  // P just below 1 may round up to 1
}

// The bucket index of the magnitude of a normal double with the given bits (sign ignored):
// (biased exponent - 1) * k + sub_bucket, in [0, 2046 k).
inline int32_t bucket_index(uint64_t b, double kd, int32_t k) noexcept {
    const auto e = static_cast<int32_t>((b >> 52) & 0x7FF);
    return (e - 1) * k + sub_bucket(b & kMantissa, kd, k);
}

// What a bucket answers, and the guarantee of a mapping.
struct Mapping {
    int32_t k = 0;
    double kd = 0.0;

    // The value answered for bucket index i of magnitudes: the point of the bucket whose
    // relative distance to both ends is equal, 2 lo hi / (lo + hi).
    double representative(int32_t i) const noexcept;
    // The largest relative error of any bucket, (hi - lo) / (hi + lo) over the octave.
    double guarantee() const noexcept;
};

// The mapping for k buckets per power of two (1 <= k <= kMaxK).
Mapping mapping_of(int32_t k) noexcept;

// The smallest k whose guarantee is at most alpha (0 < alpha < 1), or 0 when alpha is finer
// than kMaxK buckets reach. Pure arithmetic: the same k on every machine.
int32_t k_for_accuracy(double alpha) noexcept;

}  // namespace vornel
