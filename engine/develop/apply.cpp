#include "engine/develop/apply.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "engine/camera/camera_rendering.h"
#include "engine/camera/camera_look.h"
#include "engine/develop/colormix.h"
#include "engine/develop/curves.h"
#include "engine/develop/detail.h"
#include "engine/develop/grain.h"
#include "engine/develop/monochrome.h"
#include "engine/develop/stage_kernels.h"
#include "engine/develop/tonesliders.h"
#include "engine/develop/presence.h"
#include "engine/healing/area_heal.h"
#include "engine/imaging/fast_math.h"
#include "engine/imaging/vector_loop.h"
#include "engine/portrait/color_range_pass.h"
#include "engine/portrait/portrait_retouch.h"

namespace Develop {

using Imaging::Image;
using Imaging::Pixel;

namespace {

// clamp(v, a, b) of an optional value counting an absent (or non-finite) one as `absent`.
double clamped(const std::optional<double>& v, double a, double b, double absent = 0) {
    const double x = v && std::isfinite(*v) ? *v : absent;
    return std::clamp(x, a, b);
}

// The picture as it left noise reduction in the last render that gave a
// `baseKey`: while an editor moves a later slider, each render starts from
// it. One entry; its mutex is held only around a lookup or a store.
struct BaseCache {
    std::mutex mutex;
    std::string key;
    Image image;
};

BaseCache& baseCache() {
    static BaseCache cache;
    return cache;
}

std::optional<Image> cachedBase(const std::string& key) {
    BaseCache& cache = baseCache();
    const std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.image.empty() || cache.key != key) return std::nullopt;
    return cache.image;  // shares the pixels, which no stage writes while others hold them
}

void storeBase(const std::string& key, const Image& image) {
    BaseCache& cache = baseCache();
    const std::lock_guard<std::mutex> lock(cache.mutex);
    cache.key = key;
    cache.image = image;
}

// A stage that has nothing to do keeps the picture.
void keep(Image& image, std::optional<Image> result) {
    if (result && !result->empty()) image = std::move(*result);
}

}  // namespace

bool experimentalSkin() {
    const char* value = std::getenv("MERROW_EXPERIMENTAL_SKIN");
    return value && std::string_view(value) == "1";
}

bool rolloffRuns(const Look& look, bool extended) {
    return extended || (look.highlights && *look.highlights < 0) || (look.exposure && *look.exposure > 0);
}

Rolloff rolloffFor(const Look& look, bool hasProfile) {
    const double h = clamped(look.highlights, -100, 100) / 100;
    const double e = hasProfile ? 0.0 : clamped(look.exposure, 0, 5);
    const double k0 = h >= 0 ? 0.92 : std::clamp(0.92 + 0.47 * h, 0.35, 0.92);
    const double knee = std::clamp(k0 / std::exp2(e), 0.04, 0.92);
    const double ceiling = h >= 0 ? 1.0 : std::clamp(1 + 0.28 * h, 0.7, 1.0);
    const double s = h >= 0 ? 0.6 : 0.4;
    const double gain = std::clamp(1 + s * h, 0.55, 1.6);
    return {float(knee), float(ceiling), float(gain)};
}

namespace {

// Exposure gain and, when `rolls`, the highlight roll-off over `count`
// linear pixels; `out` may be `in`.
VECTOR_LOOP void exposeRow(const Pixel* in, Pixel* out, float gain, bool rolls, Rolloff rolloff, int count) {
    if (!rolls) {
#pragma omp simd
        for (int i = 0; i < count; ++i) out[i] = Pixel{in[i].r * gain, in[i].g * gain, in[i].b * gain, in[i].a};
        return;
    }
#pragma GCC ivdep  // each pixel is read before it is written
    for (int i = 0; i < count; ++i)
        out[i] = highlightRolloff(Pixel{in[i].r * gain, in[i].g * gain, in[i].b * gain, in[i].a}, rolloff);
}

}  // namespace

namespace {

// Steps 13–14, the colour mix then saturation and vibrance, over rows of
// OKLab values; between them only the colours that the trip to pixels and
// back would clip are settled.
struct ColourRows {
    std::optional<ColorMix::RowMix> mix;
    std::vector<ChromaSliders::Row> chain;

    explicit ColourRows(const Look& look) : mix(ColorMix::rowMix(look)), chain(ChromaSliders::rows(look)) {}
    bool any() const { return mix || !chain.empty(); }
    void operator()(float* L, float* a, float* b, int count) const {
        if (mix) {
            thread_local std::vector<float> grey;  // greys come out of the mix as they came in
            grey.resize(std::size_t(count));
            mix->apply(L, a, b, grey.data(), count);
            if (!chain.empty()) OKLab::settleRow(L, a, b, count);
        }
        ChromaSliders::adjustRows(chain, L, a, b, count);
    }
};

// Steps 13–14 on pixels. When both run, a row makes one trip to OKLab and
// back for all of them.
std::optional<Image> colourStages(const Look& look, const ColourRows& rows, const Image& image) {
    if (!rows.mix || rows.chain.empty() || image.empty()) {
        Image out = image;
        keep(out, ColorMix::filter(look, out));
        keep(out, ChromaSliders::filter(look, out));
        return out;
    }
    return mapLabRows(image, rows);
}

// Steps 2–8: the decoded linear picture up to noise reduction, display-encoded.
Image developedToNoiseReduction(const Look& look, Image&& input, const ApplyOptions& options) {
    Image image = std::move(input);
    // 2. Scene lift of the camera tone match.
    if (options.extended && options.tone && options.tone->lift > 0) keep(image, CameraTone::lift(image, options.tone->lift));

    // 3–6 are per-pixel: exposure, the profile's headroom, the highlight
    // roll-off on linear values, and the display encoding that every stage
    // from 7 on sees.
    float gain = 1;
    if (look.exposure && *look.exposure != 0 && std::isfinite(*look.exposure)) gain *= std::exp2(float(*look.exposure));
    if (options.profile && options.profile->headroom > 1) gain *= float(1 / options.profile->headroom);
    const bool rolls = rolloffRuns(look, options.extended);
    const Rolloff rolloff = rolloffFor(look, options.profile.has_value());
    const Imaging::SRGBTransfer& encoder = Imaging::sRGBEncoder();
    const auto encodeRow = [gain, rolls, &rolloff, &encoder](const Pixel* in, Pixel* out, int count) {
        exposeRow(in, out, gain, rolls, rolloff, count);
        encoder.applyToColours(out, count);
    };

    // 7. Camera rendering (the profile's cube, tone and shoulder, or the
    // camera look, blue-violet correction and tone): engine/camera's row kernel.
    // All of 3–7 runs a row at a time, the row staying in the cache between steps.
    const CameraRendering::Rows camera(options.profile, options.camera, options.tone, options.extended);
    image = Imaging::mapRows(std::move(image), [&](const Pixel* in, Pixel* out, int count) {
        encodeRow(in, out, count);
        camera.apply(out, count);
    });

    // 8. Noise reduction.
    keep(image, Detail::reduceNoise(look, image, options.detailScale));
    return image;
}

}  // namespace

Image apply(const Look& look, const Image& input, const ApplyOptions& options) {
    return apply(look, Image(input), options);
}

Image apply(const Look& original, Image&& input, const ApplyOptions& options) {
    const Look look = original.asDeveloped();
    const bool experimental = experimentalSkin();
    Image image = std::move(input);

    // 1. The experimental portrait path checks its limits first.
    if (experimental) PortraitLimits::validate(image, look);

    if (std::optional<Image> base = options.baseKey ? cachedBase(*options.baseKey) : std::nullopt) {
        image = std::move(*base);
    } else {
        image = developedToNoiseReduction(look, std::move(image), options);
        if (options.baseKey) storeBase(*options.baseKey, image);
    }

    // 9–12. Global adjustments.
    keep(image, ToneSliders::filter(look, image));
    keep(image, Presence::filter(look, image));
    keep(image, ParametricCurve::filter(look, image));
    keep(image, Curves::filter(look, image));

    // Steps 15–18 run only for some looks; sharpening (19) works in OKLab.
    // When none of them runs in between, the colour stages hand their OKLab
    // values to the sharpening without a trip to pixels and back.
    const bool retouches = experimental && ((options.showSkinMask && !look.wantsColorRange()) || look.wantsRetouch()) &&
                           options.retouchKey && options.portraitURL;
    const bool heals = look.removeAreas && !look.removeAreas->empty();
    const bool rangePass = options.retouchKey && options.rangeKey && (!options.showSkinMask || !look.wantsRetouch());
    const bool blackAndWhite = look.isBlackAndWhite();
    const bool betweenColourAndSharpening = retouches || heals || (rangePass && look.wantsColorRange()) || blackAndWhite;
    const ColourRows colourRows(look);
    if (colourRows.any() && !betweenColourAndSharpening && Detail::sharpenParameters(look, options.detailScale) && !image.empty()) {
        // 13–14 and 19.
        keep(image, Detail::sharpen(look, labPlanesThrough(image, colourRows), image, options.detailScale));
    } else {
        // 13–14.
        keep(image, colourStages(look, colourRows, image));

        // 15. Portrait retouch of the experimental path.
        if (retouches) {
            PortraitAnalysis::Retouch retouch{*options.retouchKey, options.blemishKey, options.cacheRetouch, options.showSkinMask};
            keep(image, PortraitAnalysis::retouch(image, look, *options.portraitURL, retouch));
        }

        // 16. Heal and remove strokes.
        if (heals) keep(image, AreaHeal::apply(image, look));

        // 17. Colour-range retouch pass.
        if (rangePass) {
            const std::string suffix = "|range|" + shortestDecimal(look.skinSmooth.value_or(0.0));
            std::optional<std::string> spotKey;
            if (options.spotKey) spotKey = *options.spotKey + suffix;
            keep(image, ColorRangeSkin::apply(std::move(image), look, *options.rangeKey + suffix, *options.retouchKey + suffix, spotKey,
                                              options.showSkinMask, options.cacheRetouch));
        }

        // 18. Black and white.
        if (blackAndWhite) keep(image, Monochrome::filter(look, image));

        // 19. Sharpening.
        keep(image, Detail::sharpen(look, image, options.detailScale));
    }

    // 20. Grain.
    keep(image, Grain::filter(look, image));

    // 21. Linear again.
    if (options.displayEncoded) return image;
    return Imaging::sRGBToLinear(std::move(image));
}

}  // namespace Develop
