#pragma once
// Branch-free single-precision versions of a few maths functions, for loops
// over rows that have to vectorise (library calls do not). Each states the
// range it is meant for and how close it comes.

#include <bit>
#include <cmath>
#include <cstdint>

namespace FastMath {

// 2^y for y ≥ −126 (smaller y give 2^−126), relative error below 1e-6: the
// nearest whole power is written into the exponent bits, the rest
// (−0.5…0.5) is a degree-6 polynomial.
inline float exp2(float y) {
    y = y < -126.0f ? -126.0f : y;
    const float whole = (y + 12582912.0f) - 12582912.0f;  // 1.5 · 2^23: rounds to the nearest integer
    const float x = y - whole;
    const float p = 1 + x * (((((1.535336188e-4f * x + 1.339887440e-3f) * x + 9.618437357e-3f) * x + 5.550332471e-2f) * x +
                              2.402264791e-1f) * x + 6.931472028e-1f);
    return p * std::bit_cast<float>((int(whole) + 127) << 23);
}

// log2 x for normal x > 0, absolute error below 1e-6: the exponent bits
// split off so that the rest m lies in √½…√2, then
// ln m = 2 atanh s with s = (m − 1)/(m + 1), |s| ≤ 0.172, to s⁹.
inline float log2(float x) {
    const std::int32_t bits = std::bit_cast<std::int32_t>(x);
    const std::int32_t e = (bits - 0x3f3504f3) >> 23;  // 0x3f3504f3 = √½
    const float m = std::bit_cast<float>(bits - e * (1 << 23));
    const float s = (m - 1) / (m + 1), s2 = s * s;
    const float ln = 2 * s * (1 + s2 * (1.0f / 3 + s2 * (1.0f / 5 + s2 * (1.0f / 7 + s2 * (1.0f / 9)))));
    return float(e) + ln * 1.44269504f;
}

// atan2(y, x) in radians (−π…π), within 2e-7 of it; 0 for (0, 0). The
// smaller of |x| and |y| over the larger is reduced below tan(π/8) and
// given to Cephes' atanf polynomial.
inline float atan2(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    const float hi = ax > ay ? ax : ay, lo = ax > ay ? ay : ax;
    const float t = hi > 0 ? lo / hi : 0.0f;  // 0…1
    const bool far = t > 0.41421356f;
    const float u = far ? (t - 1) / (t + 1) : t;
    const float z = u * u;
    float r = (((8.05374449538e-2f * z - 1.38776856032e-1f) * z + 1.99777106478e-1f) * z - 3.33329491539e-1f) * z * u + u;
    r = far ? r + 0.785398163f : r;
    r = ay > ax ? 1.570796327f - r : r;
    r = x < 0 ? 3.141592654f - r : r;
    return y < 0 ? -r : r;
}

// sin x and cos x for |x| ≤ π/2, by their Taylor series to x¹³ and x¹⁴
// (error below 1e-9 before rounding).
inline float sinSmall(float x) {
    const float x2 = x * x;
    return x * (1 - x2 * (1.0f / 6) * (1 - x2 * (1.0f / 20) * (1 - x2 * (1.0f / 42) * (1 - x2 * (1.0f / 72) * (1 - x2 * (1.0f / 110) * (1 - x2 * (1.0f / 156)))))));
}
inline float cosSmall(float x) {
    const float x2 = x * x;
    return 1 - x2 * (1.0f / 2) * (1 - x2 * (1.0f / 12) * (1 - x2 * (1.0f / 30) * (1 - x2 * (1.0f / 56) * (1 - x2 * (1.0f / 90) * (1 - x2 * (1.0f / 132) * (1 - x2 * (1.0f / 182)))))));
}

}  // namespace FastMath
