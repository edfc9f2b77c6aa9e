#include "engine/portrait/color_range_pass.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <utility>

#include <opencv2/imgproc.hpp>

#include "engine/healing/spot_heal.h"
#include "engine/portrait/multiscale_skin.h"
#include "engine/portrait/portrait_retouch.h"

namespace ColorRangeSkin {

using Imaging::Image;

namespace {

// A percentage of the look clamped to 0…100 and divided by 100; absent or
// not finite counts as `absent`.
double fraction(const std::optional<double>& value, double absent = 0) {
    const double v = value && std::isfinite(*value) ? *value : absent;
    return std::clamp(v, 0.0, 100.0) / 100;
}

// The last selection and the last prepared smoothing, each under its key.
// `lock` is held only to read or replace an entry, never while computing;
// the entries are immutable once stored.
struct Caches {
    std::mutex lock;
    std::optional<std::pair<std::string, Result>> selected;
    std::optional<std::pair<std::string, MultiscaleSkin::Prepared>> prepared;
};

Caches& caches() {
    static Caches c;
    return c;
}

std::atomic<std::uint64_t> selectionsMade{0}, spotHealingsRun{0}, preparationsMade{0};

// The spot mask as a picture over the rectangle where it is not zero (spot
// healing counts everything outside a mask picture's extent as zero).
Image spotMaskPicture(const cv::Mat& plane) {
    cv::Rect box = plane.empty() ? cv::Rect() : cv::boundingRect(plane > 0);
    if (box.empty()) return Image::filled({0, 0, 1, 1}, {0, 0, 0, 1});
    Image out(Imaging::Rect::fromTopLeft(box.x, box.y, box.width, box.height, plane.rows));
    Imaging::forRows(box.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const float* in = plane.ptr<float>(box.y + row) + box.x;
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(row);
            for (int col = 0; col < box.width; ++col) o[col] = {in[col], in[col], in[col], 1};
        }
    });
    return out;
}

bool positive(const std::optional<double>& v) { return v && *v > 0; }

}  // namespace

Work work() { return {selectionsMade.load(), spotHealingsRun.load(), preparationsMade.load()}; }

Values values(const Develop::Look& look) {
    Values v;
    v.smooth = fraction(look.skinRangeSmooth);
    v.spots = fraction(look.skinSpots);
    v.even = fraction(look.skinRangeTone);
    v.underEye = fraction(look.skinRangeUnderEye);
    v.whites = fraction(look.eyeWhites);
    v.teeth = fraction(look.teethWhiten);
    v.texture = fraction(look.skinTexture, 85);
    return v;
}

std::vector<std::optional<Develop::Look::FaceSettings>> faceSettings(const Develop::Look& look, const Result& selection,
                                                                     int width, int height) {
    std::vector<std::optional<Develop::Look::FaceSettings>> out;
    const double aspect = width > 0 ? double(height) / width : 1;
    for (const Vision::FaceObservation& face : selection.faces) {
        const Vision::Rect& b = face.boundingBox;
        // Face boxes have their origin at the bottom-left; the look's points at the top-left.
        out.push_back(look.faceSettings({b.x, 1 - (b.y + b.height), b.width, b.height}, aspect));
    }
    return out;
}

std::vector<FaceTouches::Amounts> amounts(const Values& global,
                                          const std::vector<std::optional<Develop::Look::FaceSettings>>& settings) {
    std::vector<FaceTouches::Amounts> out;
    for (const auto& face : settings) {
        const auto own = [&](std::optional<double> Develop::Look::FaceSettings::*field, double fallback) {
            return face && (*face).*field ? fraction((*face).*field) : fallback;
        };
        out.push_back({own(&Develop::Look::FaceSettings::skinRangeTone, global.even),
                       own(&Develop::Look::FaceSettings::skinRangeUnderEye, global.underEye),
                       own(&Develop::Look::FaceSettings::eyeWhites, global.whites),
                       own(&Develop::Look::FaceSettings::teethWhiten, global.teeth)});
    }
    return out;
}

FaceTouches::Selection touchSelection(const Result& selection) {
    FaceTouches::Selection out;
    out.mask = selection.mask;
    out.skinLuma = selection.skinLuma;
    for (const Region& r : selection.regions) out.regions.push_back({r.mask, r.faceWidth});
    out.faces = selection.faces;
    return out;
}

std::optional<Image> apply(const Image& image, const Develop::Look& look, const std::string& selectionKey,
                           const std::string& key, const std::optional<std::string>& spotKey, bool showMask, bool cache) {
    return apply(Image(image), look, selectionKey, key, spotKey, showMask, cache, analyse);
}

std::optional<Image> apply(Image&& image, const Develop::Look& look, const std::string& selectionKey,
                           const std::string& key, const std::optional<std::string>& spotKey, bool showMask, bool cache,
                           const Analyser& analyser) {
    // The look's values; nothing to do when it asks for no colour-range retouch.
    const Values global = values(look);
    if (!look.wantsColorRange()) return std::nullopt;

    // What the caches hold under these keys.
    std::optional<Result> selection;
    std::optional<MultiscaleSkin::Prepared> prepared;
    {
        Caches& c = caches();
        const std::lock_guard<std::mutex> hold(c.lock);
        if (!showMask && cache && c.prepared && c.prepared->first == key) prepared = c.prepared->second;
        if (c.selected && c.selected->first == selectionKey) selection = c.selected->second;
    }

    // The selection; stored before anything else can fail.
    if (!selection) {
        selection = make(image, analyser);
        ++selectionsMade;
        if (cache) {
            Caches& c = caches();
            const std::lock_guard<std::mutex> hold(c.lock);
            c.selected.emplace(selectionKey, *selection);
        }
    }
    Result& chosen = *selection;
    const int W = image.width(), H = image.height();

    // Per-face amounts.
    const auto settings = faceSettings(look, chosen, W, H);
    const std::vector<FaceTouches::Amounts> perFace = amounts(global, settings);
    const FaceTouches::Selection touched = touchSelection(chosen);

    // The prepared smoothing already holds the spot healing and the first touches.
    if (prepared) {
        image = Image();
        return FaceTouches::features(prepared->image(global.smooth), touched, perFace);
    }

    // Spots: reported in overlay mode, otherwise healed.
    std::optional<Image> healed;
    if (global.spots > 0 || (look.skinSpotAdd && !look.skinSpotAdd->empty())) {
        std::vector<SpotHeal::Face> faces;
        for (const Region& r : chosen.regions)
            faces.push_back({r.faceWidth, {double(r.spotBounds.x), double(r.spotBounds.y), double(r.spotBounds.width),
                                           double(r.spotBounds.height)}});
        SpotHeal::Result repaired = SpotHeal::apply(image, spotMaskPicture(chosen.spotMask), faces, global.spots,
                                                  look.skinBlemishKeep.value_or(Develop::Look::Points{}),
                                                  look.skinSpotAdd.value_or(Develop::Look::Points{}), spotKey);
        ++spotHealingsRun;
        if (showMask) PortraitBlemishes::setReported(std::move(repaired.spots));
        else healed = std::move(repaired.image);
    }
    chosen.spotMask.release();  // this call's share of it

    // The overlay: the selection with the eye-white and teeth areas, always over the input picture.
    if (showMask) {
        cv::Mat mask = chosen.mask;
        if (const std::optional<cv::Mat> features = FaceTouches::regions(touched, cv::Size(W, H), perFace))
            cv::add(*features, chosen.mask, mask);
        return FrequencySeparation::showMask(image, mask).value_or(std::move(image));
    }

    // From here on the pass works on `current` alone.
    Image current = healed ? std::move(*healed) : std::move(image);
    image = Image();
    healed.reset();

    // Colour evenness and under-eye lift, before smoothing.
    current = FaceTouches::skin(current, touched, perFace);

    // Smoothing, when the look or some face asks for it.
    const bool ownSmoothing =
        std::any_of(settings.begin(), settings.end(), [](const auto& s) { return s && positive(s->skinRangeSmooth); });
    if ((global.smooth > 0 || ownSmoothing) && !chosen.regions.empty()) {
        std::vector<MultiscaleSkin::Region> regions;
        for (std::size_t i = 0; i < chosen.regions.size(); ++i) {
            const Region& r = chosen.regions[i];
            const std::optional<Develop::Look::FaceSettings>& own = i < settings.size() ? settings[i] : std::nullopt;
            MultiscaleSkin::Region region{r.mask, r.faceWidth, r.bounds, global.texture, std::nullopt};
            if (own && own->skinTexture) region.texture = fraction(own->skinTexture);
            if (own && own->skinRangeSmooth) region.strength = fraction(own->skinRangeSmooth);
            regions.push_back(std::move(region));
        }
        MultiscaleSkin::Prepared made = MultiscaleSkin::prepareRegions(current, regions);
        ++preparationsMade;
        if (cache) {
            Caches& c = caches();
            const std::lock_guard<std::mutex> hold(c.lock);
            c.prepared.emplace(key, made);
        }
        current = made.image(global.smooth);
    }

    // Eye whites and teeth, after smoothing.
    return FaceTouches::features(current, touched, perFace);
}

}  // namespace ColorRangeSkin
