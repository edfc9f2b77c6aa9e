#include "engine/camera/camera_rendering.h"

namespace CameraRendering {

namespace {

// One pixel through a formula of its colour; alpha is kept.
template <class Formula>
Imaging::Pixel throughRGB(const Imaging::Pixel& p, Formula&& formula) {
    const Colour::RGB c = formula(Colour::RGB{p.r, p.g, p.b});
    return Imaging::Pixel{c.r, c.g, c.b, p.a};
}

}  // namespace

Rows::Rows(const std::optional<CameraProfile::Profile>& profile, const std::optional<CameraLook::Match>& look,
           const std::optional<CameraTone::Match>& tone, bool extended)
    : profiled_(profile.has_value()), toneKnots_(CameraTone::lightnessKnots(tone)) {
    if (profile) {
        cube_ = CameraProfile::cubeLookup(*profile);
        shoulder_ = &CameraTone::shoulderTables();
        return;
    }
    if (const auto tables = look ? CameraLook::curveTables(*look) : std::nullopt) lookRows_.emplace(*tables);
    blueViolet_ = extended;
}

void Rows::apply(Imaging::Pixel* pixels, int count) const {
    const auto tone = [this](const Colour::RGB& c) { return CameraTone::applyKnots(*toneKnots_, c); };
    if (profiled_) {
        if (cube_) cube_->applyRow(pixels, pixels, count);
        const std::optional<Curves::Tables>& shoulder = *shoulder_;
        for (int i = 0; i < count; ++i) {
            Imaging::Pixel v = pixels[i];
            if (toneKnots_) v = throughRGB(v, tone);
            if (shoulder) v = throughRGB(v, [&shoulder](const Colour::RGB& c) { return Curves::apply(*shoulder, c); });
            pixels[i] = v;
        }
        return;
    }
    if (lookRows_) lookRows_->apply(pixels, pixels, count);
    if (blueViolet_) BlueViolet::correctRow(pixels, count);
    if (toneKnots_)
        for (int i = 0; i < count; ++i) pixels[i] = throughRGB(pixels[i], tone);
}

}  // namespace CameraRendering
