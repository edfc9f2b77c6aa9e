// The eight-band colour mix as a develop stage. Rows go to OKLab and back in
// vectorised passes, and the mix itself runs a row at a time too: the band
// settings are blended once per whole hue degree, so a pixel interpolates
// one blend between the two degrees around its hue instead of weighing the
// eight bands, and the hue, the lightness powers and the hue turn use the
// branch-free functions of `FastMath`. Only colours pushed out of gamut go
// through the bisection one by one. Greys keep their pixels exactly.

#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "engine/develop/colormix.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/fast_math.h"
#include "engine/imaging/vector_loop.h"

namespace ColorMix {

namespace {

// The band settings and the bands' total weight at each whole hue degree.
struct DegreeTable {
    DegreeValues turn, hueFactor, satFactor, satLightness, luminance, lightnessPerChroma, total;
};

DegreeTable degreeTable(const Parameters& bands) {
    const auto perBand = [&bands](auto value) {
        BandValues v;
        for (int band = 0; band < bandCount; ++band) v[band] = value(bands[std::size_t(band)]);
        return DegreeValues(v);
    };
    return {perBand([](const BandVectors& v) { return v.A[0]; }), perBand([](const BandVectors& v) { return v.A[1]; }),
            perBand([](const BandVectors& v) { return v.A[2]; }), perBand([](const BandVectors& v) { return v.A[3]; }),
            perBand([](const BandVectors& v) { return v.B[0]; }), perBand([](const BandVectors& v) { return v.B[1]; }),
            perBand([](const BandVectors&) { return 1.0f; })};
}

// Whether x is finite, from its exponent bits.
inline bool finite(float x) { return (std::bit_cast<std::uint32_t>(x) & 0x7f800000u) != 0x7f800000u; }

// What is left to do for a colour after `mixRow`
// (Kept as floats, like everything else the loop writes: it vectorises.)
constexpr float done = 0, toGamut = 1, whole = 2;

// The band settings blended for each pixel of a row.
struct Blend {
    std::vector<std::int32_t> degree;
    std::vector<float> fraction, turn, hueFactor, satFactor, satLightness, luminance, lightnessPerChroma;
    explicit Blend(std::size_t n)
        : degree(n), fraction(n), turn(n), hueFactor(n), satFactor(n), satLightness(n), luminance(n), lightnessPerChroma(n) {}
};

// The settings at those hues: looked up one pixel at a time (the tables
// are indexed by hue, which vector loops cannot do without gathers).
void blendRow(const DegreeTable& t, Blend& blend, int count) {
    for (int i = 0; i < count; ++i) {
        const int d = blend.degree[std::size_t(i)];
        const float f = blend.fraction[std::size_t(i)];
        float total = t.total(d, f);
        total = total > 0.0001f ? total : 0.0001f;
        const std::size_t n = std::size_t(i);
        blend.turn[n] = t.turn(d, f) / total;
        blend.hueFactor[n] = t.hueFactor(d, f) / total;
        blend.satFactor[n] = t.satFactor(d, f) / total;
        blend.satLightness[n] = t.satLightness(d, f) / total;
        blend.luminance[n] = t.luminance(d, f) / total;
        blend.lightnessPerChroma[n] = t.lightnessPerChroma(d, f) / total;
    }
}

// The mix of `count` OKLab colours in place, as `mixLab` takes it, without
// its last step, with the settings blended for each: `rest` flags the
// colours that went out of gamut (`toGamut`) and those that are not finite,
// which stay as they were for `mixLab` (`whole`); `grey` flags those that
// keep their pixel.
VECTOR_LOOP void mixRow(float* __restrict L, float* __restrict a, float* __restrict b, const float* __restrict turns,
                        const float* __restrict hueFactors, const float* __restrict satFactors,
                        const float* __restrict satLightnesses, const float* __restrict luminances,
                        const float* __restrict lightnessesPerChroma, float* __restrict grey,
                        float* __restrict rest, int count) {
#pragma GCC ivdep  // (not omp simd: that would copy the Lab temporaries out to arrays)
    for (int i = 0; i < count; ++i) {
        const float l0 = L[i], a0 = a[i], b0 = b[i];
        const float C = std::sqrt(a0 * a0 + b0 * b0);
        const float turn = turns[i], hueFactor = hueFactors[i], satFactor = satFactors[i];
        const float satLightness = satLightnesses[i], luminance = luminances[i];
        const float lightnessPerChroma = lightnessesPerChroma[i];

        const OKLab::Lab lab = mixedColour(l0, a0, b0, C, {turn, hueFactor, satFactor, satLightness, luminance,
                                                           lightnessPerChroma});
        const float L2 = lab.L, a2 = lab.a, b2 = lab.b;
        const Colour::RGB rgb = OKLab::toLinear(lab);
        // (& rather than &&: no branches in the loop)
        const bool inside = (rgb.r >= 0) & (rgb.r <= 1) & (rgb.g >= 0) & (rgb.g <= 1) & (rgb.b >= 0) & (rgb.b <= 1);
        const bool isGrey = C < 0.0005f;
        const bool odd = !(finite(l0) & finite(a0) & finite(b0));
        const bool keep = isGrey | odd;
        grey[i] = isGrey ? 1.0f : 0.0f;
        rest[i] = odd ? whole : (!inside & !isGrey) ? toGamut : done;
        L[i] = keep ? l0 : L2;
        a[i] = keep ? a0 : a2;
        b[i] = keep ? b0 : b2;
    }
}

}  // namespace

struct RowMix::Tables {
    DegreeTable degrees;
};

RowMix::RowMix(const Parameters& bands) : bands_(bands), tables_(std::make_shared<const Tables>(Tables{degreeTable(bands)})) {}

void RowMix::apply(float* L, float* a, float* b, float* grey, int count) const {
    thread_local std::vector<float> rest;
    thread_local std::optional<Blend> blend;
    const std::size_t n = std::size_t(count);
    rest.resize(n);
    if (!blend || blend->degree.size() < n) blend.emplace(n);
    hueDegrees(a, b, blend->degree.data(), blend->fraction.data(), count);
    blendRow(tables_->degrees, *blend, count);
    mixRow(L, a, b, blend->turn.data(), blend->hueFactor.data(), blend->satFactor.data(), blend->satLightness.data(),
           blend->luminance.data(), blend->lightnessPerChroma.data(), grey, rest.data(), count);
    for (std::size_t col = 0; col < n; ++col) {
        if (rest[col] == done) continue;
        const OKLab::Lab lab{L[col], a[col], b[col]};
        const std::optional<OKLab::Lab> mixed = rest[col] == toGamut ? intoGamut(lab) : mixLab(lab, bands_);
        grey[col] = !mixed;
        if (!mixed) continue;
        L[col] = mixed->L;
        a[col] = mixed->a;
        b[col] = mixed->b;
    }
}

std::optional<RowMix> rowMix(const Develop::Look& look) {
    if (!look.colorMix || look.colorMix->isEmpty()) return std::nullopt;
    const std::optional<Parameters> bands = parameters(*look.colorMix);
    if (!bands) return std::nullopt;
    return RowMix(*bands);
}

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    const std::optional<RowMix> mix = rowMix(look);
    if (!mix || image.empty()) return std::nullopt;
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        const std::size_t n = std::size_t(w);
        std::vector<float> L(n), a(n), b(n), grey(n);
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(row);
            OKLab::fromSRGBRow(in, L.data(), a.data(), b.data(), w);
            mix->apply(L.data(), a.data(), b.data(), grey.data(), w);
            OKLab::screenRow(L.data(), a.data(), b.data(), in, o, w);
            for (std::size_t col = 0; col < n; ++col)
                if (grey[col]) o[col] = in[col];
        }
    });
    return out;
}

}  // namespace ColorMix
