#include "engine/develop/oklab.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <numbers>

namespace OKLab {

namespace {

float exactLinear(float v) { return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f); }
float exactEncode(float v) { return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f; }

// The two transfer curves sampled finely enough that linear interpolation
// between neighbours stays within a few 1e-8 of the powers: decoding over
// 0…1 directly, encoding over the square root of 0…1 (which straightens
// the steep start of the curve).
constexpr int steps = 4096;

struct TransferTables {
    std::array<float, steps + 2> decode{};
    std::array<float, steps + 2> encodeOfRoot{};
    TransferTables() {
        for (int i = 0; i <= steps + 1; ++i) {
            const float u = std::min(float(i) / steps, 1.0f);
            decode[std::size_t(i)] = exactLinear(u);
            encodeOfRoot[std::size_t(i)] = exactEncode(u * u);
        }
    }
};

const TransferTables transfer;

// Linear interpolation in a table over 0…1, u in 0…1.
float interpolate(const std::array<float, steps + 2>& table, float u) {
    const float position = u * steps;
    const int i = int(position);
    const float f = position - float(i);
    return table[std::size_t(i)] + (table[std::size_t(i) + 1] - table[std::size_t(i)]) * f;
}

}  // namespace

float linear(float v) {
    if (v >= 0 && v <= 1) return interpolate(transfer.decode, v);
    return exactLinear(v);
}

float encode(float v) {
    if (std::isnan(v)) return v;
    return interpolate(transfer.encodeOfRoot, std::sqrt(std::clamp(v, 0.0f, 1.0f)));
}

float cubeRoot(float v) {
    const float x = std::fabs(v);
    if (x == 0 || !std::isfinite(x)) return std::cbrt(v);
    // A first guess from the exponent bits (within a few per cent), then two
    // Halley steps, each of which triples the number of correct digits.
    float y = std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) / 3 + 709921077u);
    for (int step = 0; step < 2; ++step) {
        const float y3 = y * y * y;
        y = y * (y3 + 2 * x) / (2 * y3 + x);
    }
    return std::copysign(y, v);
}

Lab fromSRGB(const Develop::RGB& rgb) { return fromLinear({linear(rgb.r), linear(rgb.g), linear(rgb.b)}); }

Lab fromLinear(const Develop::RGB& c) {
    const float r = c.r, g = c.g, b = c.b;
    const float l = cubeRoot(0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b);
    const float m = cubeRoot(0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b);
    const float s = cubeRoot(0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b);
    return {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
}

Develop::RGB toLinear(const Lab& lab) {
    const float l = lab.L + 0.3963377774f * lab.a + 0.2158037573f * lab.b;
    const float m = lab.L - 0.1055613458f * lab.a - 0.0638541728f * lab.b;
    const float s = lab.L - 0.0894841775f * lab.a - 1.2914855480f * lab.b;
    const float l3 = l * l * l, m3 = m * m * m, s3 = s * s * s;
    return {4.0767416621f * l3 - 3.3077115913f * m3 + 0.2309699292f * s3,
            -1.2684380046f * l3 + 2.6097574011f * m3 - 0.3413193965f * s3,
            -0.0041960863f * l3 - 0.7034186147f * m3 + 1.7076147010f * s3};
}

Develop::RGB screen(const Lab& lab) {
    const auto c = toLinear(lab);
    return {encode(c.r), encode(c.g), encode(c.b)};
}

float chroma(const Lab& lab) { return std::sqrt(lab.a * lab.a + lab.b * lab.b); }

float hueDegrees(const Lab& lab) {
    float h = std::atan2(lab.b, lab.a) * (180.0f / std::numbers::pi_v<float>);
    return h < 0 ? h + 360.0f : h;
}

}  // namespace OKLab

namespace ColorMix {

float fade(float h, float ps, float pe, float s, float e) {
    return std::min(std::clamp((h - ps) / (pe - ps), 0.0f, 1.0f), std::clamp((e - h) / (e - s), 0.0f, 1.0f));
}

float weight(float h, float ps, float pe, float s, float e) {
    return std::max({fade(h, ps, pe, s, e), fade(h + 360.0f, ps, pe, s, e), fade(h - 360.0f, ps, pe, s, e)});
}

namespace {

BandValues exactBandWeights(float h) {
    // (rise start, rise end, fall start, fall end) of each band, in degrees.
    static constexpr float ramps[bandCount][4] = {
        {-10, 9, 19, 40},    {19, 40, 56, 85},     {56, 85, 104, 130},   {104, 130, 149, 171},
        {149, 171, 186, 225}, {186, 225, 260, 314}, {260, 314, 329, 345}, {329, 345, 350, 369},
    };
    BandValues w{};
    for (int band = 0; band < bandCount; ++band) {
        const auto& r = ramps[band];
        w[band] = weight(h, r[0], r[1], r[2], r[3]);
    }
    return w;
}

// Every ramp starts and ends on a whole degree, so the weights are linear
// between whole degrees and a table per degree, interpolated, reproduces them.
struct BandTable {
    std::array<BandValues, 362> atDegree{};
    BandTable() {
        for (int d = 0; d < 362; ++d) atDegree[std::size_t(d)] = exactBandWeights(float(d));
    }
};

const BandTable bandTable;

}  // namespace

BandValues bandWeights(float h) {
    if (!(h >= 0 && h <= 360)) return exactBandWeights(h);
    const int d = int(h);
    const float f = h - float(d);
    const BandValues& lo = bandTable.atDegree[std::size_t(d)];
    const BandValues& hi = bandTable.atDegree[std::size_t(d) + 1];
    BandValues w;
    for (int band = 0; band < bandCount; ++band) w[band] = lo[band] + (hi[band] - lo[band]) * f;
    return w;
}

}  // namespace ColorMix
