// The bucket mapping's answers and guarantee, computed from the index function itself.
#include "sketchmap.hpp"

namespace vornel {
namespace {

// The smallest mantissa (0 to 2^52) whose sub-bucket is at least j: the lower end of
// sub-bucket j as the index function draws it. The index rises with the mantissa (P' > 0
// everywhere), so a bisection over the 2^52 mantissas finds it in 52 steps.
uint64_t lower_end(int32_t j, double kd, int32_t k) noexcept {
    if (j <= 0) return 0;
    if (j >= k) return uint64_t{1} << 52;
    uint64_t lo = 0, hi = uint64_t{1} << 52;  // sub_bucket(lo) < j <= sub_bucket(hi)
    while (hi - lo > 1) {
        const uint64_t mid = lo + (hi - lo) / 2;
        if (sub_bucket(mid, kd, k) >= j)
            hi = mid;
        else
            lo = mid;
    }
    return hi;
}

// 1 + m * 2^-52 for m in [0, 2^52]: the end of a sub-bucket as a significand in [1, 2].
double significand(uint64_t m) noexcept {
    return m == (uint64_t{1} << 52) ? 2.0 : double_of(m | kOneBits);
}

// 2 artanh(t) = log((1 + t) / (1 - t)) by its series, in plain arithmetic.
double two_artanh(double t) noexcept {
    const double t2 = t * t;
    double term = t, sum = 0.0;
    for (int n = 1; n < 400 && term > 1e-18 * sum; n += 2) {
        sum += term / n;
        term *= t2;
    }
    return 2.0 * sum;
}

}  // namespace

Mapping mapping_of(int32_t k) noexcept {
    return Mapping{k, static_cast<double>(k)};
}

double Mapping::representative(int32_t i) const noexcept {
    const int32_t e = i / k, j = i % k;
    const double lo = significand(lower_end(j, kd, k));
    const double hi = significand(lower_end(j + 1, kd, k));
    const double mid = 2.0 * lo * hi / (lo + hi);
    return mid * double_of(static_cast<uint64_t>(e + 1) << 52);  // times 2^(e + 1 - 1023)
}

double Mapping::guarantee() const noexcept {
    double worst = 0.0;
    uint64_t lo = 0;
    for (int32_t j = 0; j < k; ++j) {
        const uint64_t hi = lower_end(j + 1, kd, k);
        const double a = significand(lo), b = significand(hi);
        const double err = (b - a) / (b + a);
        if (err > worst) worst = err;
        lo = hi;
    }
    return worst;
}

int32_t k_for_accuracy(double alpha) noexcept {
    // Rounding in the index function and in the answer moves a bucket's ends by a few units
    // in the last place: the guarantee is met with this much to spare.
    const double target = alpha * (1.0 - 1e-9);
    // First guess from the continuous bound: buckets span at most 1.0099 / k octaves, so
    // k = 1.0099 log(2) / log((1 + a) / (1 - a)); then the exact guarantee decides.
    const double guess = 1.00989 * 0.6931471805599453 / two_artanh(alpha);
    if (!(guess < kMaxK)) return 0;
    int32_t k = guess < 1.0 ? 1 : static_cast<int32_t>(guess);
    while (k > 1 && mapping_of(k - 1).guarantee() <= target) --k;
    while (mapping_of(k).guarantee() > target) {
        if (++k > kMaxK) return 0;
    }
    return k;
}

}  // namespace vornel
