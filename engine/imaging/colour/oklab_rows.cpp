#include "engine/imaging/colour/oklab_rows.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/imaging/colour/oklab.h"
#include "engine/imaging/vector_loop.h"

namespace OKLab {

namespace {

// v clamped to 0…1 on its bit pattern (integer selects vectorise where
// floating-point ones may not); NaN goes to 0 or 1.
inline float unit(float v) {
    std::int32_t bits = std::bit_cast<std::int32_t>(v);
    bits = bits < 0 ? 0 : bits;
    bits = bits > 0x3f800000 ? 0x3f800000 : bits;
    return std::bit_cast<float>(bits);
}

// The imaging core's sRGB transfer tables, at u in 0…1.
inline float interpolate(const float* table, float u) {
    const float position = u * float(Imaging::SRGBTransfer::steps);
    const int i = int(position);
    const float f = position - float(i);
    return table[i] + (table[i + 1] - table[i]) * f;
}

// `cubeRoot` for finite values.
inline float cubeRootOfFinite(float v) {
    const float x = std::fabs(v);
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    float y = std::bit_cast<float>(bits / 3 + 709921077u);
    for (int step = 0; step < 2; ++step) {
        const float y3 = y * y * y;
        y = y * (y3 + 2 * x) / (2 * y3 + x);
    }
    const std::uint32_t keep = bits == 0 ? 0u : ~0u;  // the root of 0 is 0
    return std::copysign(std::bit_cast<float>(std::bit_cast<std::uint32_t>(y) & keep), v);
}

inline Colour::RGB linearOf(float L, float a, float b) {
    const float l = L + 0.3963377774f * a + 0.2158037573f * b;
    const float m = L - 0.1055613458f * a - 0.0638541728f * b;
    const float s = L - 0.0894841775f * a - 1.2914855480f * b;
    const float l3 = l * l * l, m3 = m * m * m, s3 = s * s * s;
    return {4.0767416621f * l3 - 3.3077115913f * m3 + 0.2309699292f * s3,
            -1.2684380046f * l3 + 2.6097574011f * m3 - 0.3413193965f * s3,
            -0.0041960863f * l3 - 0.7034186147f * m3 + 1.7076147010f * s3};
}

// OKLab of a linear sRGB colour, as `fromLinear` takes it, for row loops.
inline OKLab::Lab labOfLinear(float r, float g, float b) {
    const float l = cubeRootOfFinite(0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b);
    const float m = cubeRootOfFinite(0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b);
    const float s = cubeRootOfFinite(0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b);
    return {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
}

// The conversions proper, in place on plain rows of floats.
VECTOR_LOOP void labOfEncoded(float* __restrict x, float* __restrict y,
                                                                      float* __restrict z, int count) {
    const float* decode = Imaging::sRGBDecoder().table();
#pragma omp simd
    for (int i = 0; i < count; ++i) {
        const OKLab::Lab lab = labOfLinear(interpolate(decode, unit(x[i])), interpolate(decode, unit(y[i])),
                                           interpolate(decode, unit(z[i])));
        x[i] = lab.L;
        y[i] = lab.a;
        z[i] = lab.b;
    }
}

VECTOR_LOOP void encodedOfLab(float* __restrict x, float* __restrict y,
                                                                      float* __restrict z, int count) {
    const float* encode = Imaging::sRGBEncoder().table();
#pragma omp simd
    for (int i = 0; i < count; ++i) {
        const Colour::RGB c = linearOf(x[i], y[i], z[i]);
        x[i] = interpolate(encode, unit(c.r));
        y[i] = interpolate(encode, unit(c.g));
        z[i] = interpolate(encode, unit(c.b));
    }
}

// For each colour: 0 when its linear sRGB lies inside 0…1, `clipped` when
// some channel lies outside, `unbounded` when some value is not a number
// or infinite.
constexpr float clipped = 1, unbounded = 2;

VECTOR_LOOP void flagOutsideGamut(const float* __restrict L, const float* __restrict a, const float* __restrict b,
                                  float* __restrict outside, int count) {
#pragma omp simd
    for (int i = 0; i < count; ++i) {
        const Colour::RGB c = linearOf(L[i], a[i], b[i]);
        // (written so that a NaN counts as outside)
        const bool inside = (c.r >= 0) & (c.r <= 1) & (c.g >= 0) & (c.g <= 1) & (c.b >= 0) & (c.b <= 1);
        const bool finite = (std::fabs(c.r) <= 3.4e38f) & (std::fabs(c.g) <= 3.4e38f) & (std::fabs(c.b) <= 3.4e38f);
        outside[i] = inside ? 0.0f : finite ? clipped : unbounded;
    }
}

// Colours replaced by the OKLab of their linear values clamped to 0…1,
// which is what `screen` keeps of them (its encoding and the decoding back
// only round).
VECTOR_LOOP void clampIntoGamut(float* __restrict L, float* __restrict a, float* __restrict b, int count) {
#pragma omp simd
    for (int i = 0; i < count; ++i) {
        const Colour::RGB c = linearOf(L[i], a[i], b[i]);
        const OKLab::Lab lab = labOfLinear(unit(c.r), unit(c.g), unit(c.b));
        L[i] = lab.L;
        a[i] = lab.a;
        b[i] = lab.b;
    }
}

}  // namespace

// Whether v lies outside 0…1 or is not a number (−0 counts as outside, harmlessly).
inline std::uint32_t outsideUnit(float v) { return std::bit_cast<std::uint32_t>(v) > 0x3f800000u ? 1u : 0u; }
inline std::uint32_t notFinite(float v) { return (std::bit_cast<std::uint32_t>(v) & 0x7f800000u) == 0x7f800000u ? 1u : 0u; }

void fromSRGBRow(const Imaging::Pixel* in, float* L, float* a, float* b, int count) {
    std::uint32_t outside = 0;
    for (int i = 0; i < count; ++i) {
        L[i] = in[i].r;
        a[i] = in[i].g;
        b[i] = in[i].b;
        outside |= outsideUnit(in[i].r) | outsideUnit(in[i].g) | outsideUnit(in[i].b);
    }
    labOfEncoded(L, a, b, count);
    if (!outside) return;
    for (int i = 0; i < count; ++i) {
        const Imaging::Pixel& p = in[i];
        if (!(outsideUnit(p.r) | outsideUnit(p.g) | outsideUnit(p.b))) continue;
        const Lab lab = fromSRGB({p.r, p.g, p.b});
        L[i] = lab.L;
        a[i] = lab.a;
        b[i] = lab.b;
    }
}

void screenRow(const float* L, const float* a, const float* b, const Imaging::Pixel* alpha, Imaging::Pixel* out,
               int count) {
    thread_local std::vector<float> buffer;
    buffer.resize(3 * std::size_t(count));
    float* x = buffer.data();
    float* y = x + count;
    float* z = y + count;
    std::uint32_t odd = 0;
    for (int i = 0; i < count; ++i) {
        x[i] = L[i];
        y[i] = a[i];
        z[i] = b[i];
        odd |= notFinite(L[i]) | notFinite(a[i]) | notFinite(b[i]);
    }
    encodedOfLab(x, y, z, count);
    for (int i = 0; i < count; ++i) out[i] = {x[i], y[i], z[i], alpha[i].a};
    if (!odd) return;
    for (int i = 0; i < count; ++i) {
        if (!(notFinite(L[i]) | notFinite(a[i]) | notFinite(b[i]))) continue;
        const Colour::RGB c = screen({L[i], a[i], b[i]});
        out[i] = {c.r, c.g, c.b, out[i].a};
    }
}

void settleRow(float* L, float* a, float* b, int count) {
    thread_local std::vector<float> outside, packed;
    thread_local std::vector<int> positions;
    const std::size_t n = std::size_t(count);
    outside.resize(n);
    flagOutsideGamut(L, a, b, outside.data(), count);
    // The clipped colours, packed into three short rows, clamped and put back.
    packed.resize(3 * n);
    positions.resize(n);
    float *pL = packed.data(), *pa = pL + n, *pb = pa + n;
    int m = 0;
    bool unboundedSeen = false;
    for (int i = 0; i < count; ++i) {
        const float flag = outside[std::size_t(i)];
        unboundedSeen |= flag == unbounded;
        if (flag != clipped) continue;
        positions[std::size_t(m)] = i;
        pL[m] = L[i];
        pa[m] = a[i];
        pb[m] = b[i];
        ++m;
    }
    clampIntoGamut(pL, pa, pb, m);
    for (int k = 0; k < m; ++k) {
        const int i = positions[std::size_t(k)];
        L[i] = pL[k];
        a[i] = pa[k];
        b[i] = pb[k];
    }
    if (!unboundedSeen) return;
    for (int i = 0; i < count; ++i) {
        if (outside[std::size_t(i)] != unbounded) continue;
        const Lab lab = fromSRGB(screen({L[i], a[i], b[i]}));
        L[i] = lab.L;
        a[i] = lab.a;
        b[i] = lab.b;
    }
}

}  // namespace OKLab
