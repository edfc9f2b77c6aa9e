#include "engine/imaging/colour/oklab.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <numbers>

namespace OKLab {

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
