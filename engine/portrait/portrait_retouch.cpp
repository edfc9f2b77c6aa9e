// The portrait retouch of the experimental path: the analysis mask from the
// face-parsing worker, blemishes and tone from the local-correction workers,
// then the multiscale smoothing, whose preparation is kept for the next
// render while only the smoothing amount changes.

#include "engine/portrait/portrait_retouch.h"

#include <algorithm>
#include <mutex>

#include "engine/portrait/multiscale_skin.h"
#include "engine/portrait/portrait_analysis.h"
#include "engine/portrait/portrait_blemishes.h"

namespace PortraitAnalysis {

namespace {

// The last smoothing preparation kept with `cacheRetouch`, under its key.
std::mutex skinLock;
std::optional<std::pair<std::string, MultiscaleSkin::Prepared>> preparedSkin;

double clamped(std::optional<double> value, double low, double high) { return std::clamp(value.value_or(0.0), low, high); }

// A per-face value on 0…100 (divided by `scale`), absent without an entry or value.
std::vector<std::optional<double>> perFace(const std::vector<std::optional<Develop::Look::FaceSettings>>& entries,
                                           std::optional<double> Develop::Look::FaceSettings::*field, double scale) {
    std::vector<std::optional<double>> out;
    for (const auto& entry : entries) {
        if (entry && (*entry).*field) out.push_back(std::clamp(*((*entry).*field), 0.0, 100.0) / scale);
        else out.push_back(std::nullopt);
    }
    return out;
}

}  // namespace

std::optional<Imaging::Image> retouch(const Imaging::Image& input, const Develop::Look& look,
                                      const std::filesystem::path& file, const Retouch& options) {
    const double smoothAmount = clamped(look.skinSmooth, 0, 100) / 100;

    // 1. Reuse the kept preparation while only the smoothing amount moves.
    if (!options.showSkinMask && options.cacheRetouch) {
        std::optional<MultiscaleSkin::Prepared> kept;
        {
            const std::lock_guard<std::mutex> held(skinLock);
            if (preparedSkin && preparedSkin->first == options.retouchKey) kept = preparedSkin->second;
        }
        if (kept) return kept->image(smoothAmount);
    }

    // 2. The analysis.
    const Result analysis = make(file, input.extent());

    // 3–4. Per-face entries and values.
    const double aspect = double(input.height()) / double(input.width());
    std::vector<std::optional<Develop::Look::FaceSettings>> entries;
    for (const auto& face : analysis.faces) entries.push_back(look.faceSettings(face, aspect));
    const auto ownBlemishes = perFace(entries, &Develop::Look::FaceSettings::skinBlemishes, 100);
    const auto ownTone = perFace(entries, &Develop::Look::FaceSettings::skinTone, 1);
    const auto ownUnderEye = perFace(entries, &Develop::Look::FaceSettings::skinUnderEye, 1);
    const double blemishAmount = clamped(look.skinBlemishes, 0, 100) / 100;
    const Develop::Look::Points keep = look.skinBlemishKeep.value_or(Develop::Look::Points{});

    Imaging::Image image = input;
    // 5. The skin-mask view: the spots are reported and the mask shown.
    if (options.showSkinMask) {
        if (look.wantsBlemishes() && options.blemishKey)
            PortraitBlemishes::setReported(
                PortraitBlemishes::spots(image, analysis, *options.blemishKey, blemishAmount, ownBlemishes, keep));
        std::optional<Imaging::Image> shown = FrequencySeparation::showMask(image, MultiscaleSkin::maskWeights(analysis.image));
        return shown ? std::move(*shown) : image;
    }

    // 6. Blemishes.
    if (look.wantsBlemishes() && options.blemishKey)
        image = PortraitBlemishes::apply(image, analysis, *options.blemishKey, blemishAmount, ownBlemishes, keep);

    // 7. Tone and under-eye, whatever their values (the component returns early at 0).
    image = PortraitTone::apply(image, analysis, options.retouchKey, clamped(look.skinTone, 0, 100),
                                clamped(look.skinUnderEye, 0, 100), ownTone, ownUnderEye);

    // 8–10. The smoothing preparation.
    double texture = look.skinTexture ? clamped(look.skinTexture, 0, 100) / 100 : 0.85;
    MultiscaleSkin::Prepared prepared;
    if (analysis.regions.size() < 2) {
        const std::optional<Develop::Look::FaceSettings> first =
            entries.empty() ? std::nullopt : entries.front();
        if (first && first->skinTexture) texture = std::clamp(*first->skinTexture, 0.0, 100.0) / 100;
        prepared = MultiscaleSkin::prepare(image, MultiscaleSkin::maskWeights(analysis.image), analysis.faceWidth, texture);
        prepared.fixedAmount.reset();
        if (first && first->skinSmooth) prepared.fixedAmount = std::clamp(*first->skinSmooth, 0.0, 100.0) / 100;
    } else {
        std::vector<MultiscaleSkin::Region> regions;
        for (std::size_t i = 0; i < analysis.regions.size(); ++i) {
            const Region& source = analysis.regions[i];
            const std::optional<Develop::Look::FaceSettings> entry = i < entries.size() ? entries[i] : std::nullopt;
            MultiscaleSkin::Region region;
            region.mask = MultiscaleSkin::maskWeights(source.image);
            region.faceWidth = source.faceWidth;
            region.bounds = source.bounds;
            region.texture = entry && entry->skinTexture ? std::clamp(*entry->skinTexture, 0.0, 100.0) / 100 : texture;
            if (entry && entry->skinSmooth) region.strength = std::clamp(*entry->skinSmooth, 0.0, 100.0) / 100;
            regions.push_back(std::move(region));
        }
        prepared = MultiscaleSkin::prepareRegions(image, regions);
    }

    // 11. Kept for the next render.
    if (options.cacheRetouch) {
        const std::lock_guard<std::mutex> held(skinLock);
        preparedSkin = std::pair(options.retouchKey, prepared);
    }

    // 12.
    return prepared.image(smoothAmount);
}

}  // namespace PortraitAnalysis
