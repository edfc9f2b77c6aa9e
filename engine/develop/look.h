#pragma once
// The develop settings of one photo, carried in a request's "look".
//
// Every field is optional and an absent field means "off" (or the default
// that the stage reading it names). Values are carried as they came: each
// stage clamps what it reads, decoding never does. The record also answers
// the small questions the pipeline asks of it (black and white? which
// retouching?) and makes the reduced copies that cache keys are built from.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/develop/colormix_bands.h"
#include "engine/develop/crop_frame.h"
#include "engine/imaging/colour/curves_set.h"
#include "engine/develop/monochrome_mix.h"

namespace Develop {

// The factor applied to a look's `tint` before it reaches the white balance.
inline constexpr double tintScale = 1.65;

struct Look {
    // Points relative to the picture: [x, y], x / width and y / height, y from the top.
    using Points = std::vector<std::vector<double>>;

    // Per-face overrides of the look-wide portrait values.
    struct FaceSettings {
        std::vector<double> at;  // the face's centre [x, y]; required
        std::optional<double> skinBlemishes;
        std::optional<double> skinSmooth;
        std::optional<double> skinTexture;
        std::optional<double> skinTone;
        std::optional<double> skinUnderEye;
        std::optional<double> skinRangeSmooth;
        std::optional<double> skinRangeTone;
        std::optional<double> skinRangeUnderEye;
        std::optional<double> eyeWhites;
        std::optional<double> teethWhiten;

        bool operator==(const FaceSettings&) const = default;
    };

    // Names one of the optional values of a face entry.
    using FaceField = std::optional<double> FaceSettings::*;

    // One heal or remove stroke.
    struct RemoveArea {
        std::string tool;             // "heal" or "remove"; required
        double r = 0;                 // brush radius as a fraction of the picture width; required
        Points pts;                   // the stroke's points; required
        std::optional<std::string> fill;  // identifier of a remove fill

        // A stroke that the healing can use: a radius in (0, 0.1], 1 to 400
        // points each of two finite numbers in 0…1, and a fill that is absent
        // or 24 lower-case hexadecimal digits. `tool` is not examined.
        // (Inline: the healing stages read strokes without linking develop.)
        bool isValid() const {
            if (!(r > 0 && r <= 0.1)) return false;
            if (pts.empty() || pts.size() > 400) return false;
            for (const auto& point : pts) {
                if (point.size() != 2) return false;
                for (double v : point)
                    if (!std::isfinite(v) || v < 0 || v > 1) return false;
            }
            const auto lowerHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
            return !fill || (fill->size() == 24 && std::all_of(fill->begin(), fill->end(), lowerHex));
        }

        bool operator==(const RemoveArea&) const = default;
    };

    // A face rectangle in the same normalised coordinates as `FaceSettings::at`.
    struct FaceRect {
        double x = 0;
        double y = 0;
        double width = 0;
        double height = 0;
    };

    std::optional<double> exposure;
    std::optional<double> temperature;
    std::optional<double> tint;
    std::optional<double> contrast;
    std::optional<double> highlights;
    std::optional<double> shadows;
    std::optional<double> whites;
    std::optional<double> blacks;
    std::optional<double> vibrance;
    std::optional<double> saturation;
    std::optional<double> texture;
    std::optional<double> clarity;
    std::optional<double> dehaze;
    std::optional<double> grainAmount;
    std::optional<double> grainSize;
    std::optional<double> grainRoughness;
    std::optional<double> skinTone;
    std::optional<double> skinUnderEye;
    std::optional<double> skinBlemishes;
    std::optional<Points> skinBlemishKeep;
    std::optional<std::vector<FaceSettings>> skinFaces;
    std::optional<double> skinSmooth;
    std::optional<double> skinRangeSmooth;
    std::optional<double> skinSpots;
    std::optional<Points> skinSpotAdd;
    std::optional<std::vector<RemoveArea>> removeAreas;
    std::optional<double> skinRangeTone;
    std::optional<double> skinRangeUnderEye;
    std::optional<double> eyeWhites;
    std::optional<double> teethWhiten;
    std::optional<double> skinTexture;
    std::optional<double> skinDetailSize;
    std::optional<double> skinTextureSize;
    std::optional<double> skinConfidence;
    std::optional<double> skinMaskFeather;
    std::optional<double> skinFeatureProtection;
    std::optional<double> curveShadows;
    std::optional<double> curveDarks;
    std::optional<double> curveLights;
    std::optional<double> curveHighlights;
    std::optional<Curves::Set> curve;
    std::optional<ColorMix::Bands> colorMix;
    std::optional<double> grayscale;
    std::optional<Monochrome::Mix> grayMix;
    std::optional<std::string> profile;
    std::optional<double> sharpenAmount;
    std::optional<double> sharpenRadius;
    std::optional<double> sharpenDetail;
    std::optional<double> sharpenMasking;
    std::optional<double> noiseLuminance;
    std::optional<double> noiseColor;
    std::optional<Crop::Frame> crop;

    // The look with every field absent.
    static Look neutral() { return Look{}; }

    // `grayscale` present and at least 0.5.
    bool isBlackAndWhite() const;

    // The look the pipeline applies: a black-and-white look without
    // `vibrance`, `saturation` and `colorMix`; otherwise an identical copy.
    Look asDeveloped() const;

    // What portrait work the look asks for, on the look or on any face entry.
    // Absent values count as 0; a value "> 0" is never true for NaN.
    bool wantsBlemishes() const;
    bool wantsSmoothing() const;
    bool wantsTone() const;
    bool wantsRetouch() const;
    bool wantsColorRange() const;
    // Sharpening or noise reduction.
    bool wantsDetail() const;

    // A copy without the four sharpening values.
    Look withoutSharpening() const;

    // A copy in which each named field is absent in every face entry.
    Look withoutFaceValues(std::span<const FaceField> fields) const;

    // The face fields that the colour-range pass reads, in a fixed order:
    // skinRangeSmooth, skinRangeTone, skinRangeUnderEye, eyeWhites,
    // teethWhiten, skinTexture.
    static std::span<const FaceField> basicFaceKeys();

    // A copy without anything the colour-range pass reads: the basic face
    // keys in every face entry, and the look-wide skinRangeSmooth, skinSpots,
    // skinSpotAdd, skinRangeTone, skinRangeUnderEye, eyeWhites, teethWhiten
    // and skinTexture.
    Look withoutSpots() const;

    // The face entry that belongs to a detected face: among the entries
    // whose `at` holds exactly two numbers, the one nearest the face's
    // centre (vertical distances scaled by `aspect` = picture height / width)
    // and closer than half the face's width; the first listed wins a tie.
    std::optional<FaceSettings> faceSettings(const FaceRect& rect, double aspect) const;

    bool operator==(const Look&) const = default;
};

// Decodes a look from its JSON value. Every key is optional and `null` counts
// as absent; unknown keys are ignored. Nothing when the value is not an
// object, a value has the wrong JSON type anywhere, or a nested record lacks
// a required field.
std::optional<Look> decodeLook(const nlohmann::json& value);

// The JSON form of a look: only the present fields, each under its key
// (never `null`), nested records likewise. Negative zero is written as 0 so
// that equal looks always encode alike.
nlohmann::json encodeLook(const Look& look);

// The look encoded with its object keys sorted, as compact UTF-8 text: equal
// looks give equal text, so it serves as (part of) a cache key.
std::string cacheText(const Look& look);

// The shortest decimal text that reads back as the same double, always with a
// fractional part ("0.0", "35.0", "12.5"): how the look's numbers appear in
// cache keys.
std::string shortestDecimal(double value);

}  // namespace Develop

// Looks hash by their cache text, consistently with operator==.
template <>
struct std::hash<Develop::Look> {
    std::size_t operator()(const Develop::Look& look) const;
};
