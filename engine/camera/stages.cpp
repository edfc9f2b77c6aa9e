// The camera stages on pictures: each applies one of the camera's per-pixel
// functions, or its colour cube or curves, through the imaging core.

#include <cmath>

#include "engine/camera/blue_violet.h"
#include "engine/camera/camera_look.h"
#include "engine/camera/camera_profile.h"
#include "engine/camera/camera_tone.h"
#include "engine/imaging/colour/point_curves.h"

using Imaging::Image;
using Imaging::Pixel;

namespace {

// Applies a function of one RGB colour to every pixel, keeping alpha.
template <class Formula>
Image mapRGB(const Image& image, Formula&& formula) {
    return Imaging::map(image, [&formula](const Pixel& p) {
        const Colour::RGB c = formula(Colour::RGB{p.r, p.g, p.b});
        return Pixel{c.r, c.g, c.b, p.a};
    });
}

}  // namespace

namespace CameraProfile {

std::optional<Imaging::CubeLookup> cubeLookup(const Profile& profile) {
    const std::size_t n = std::size_t(std::max(profile.cubeDimension, 0));
    if (n < 2 || !profile.cube || profile.cube->size() != n * n * n * 4) return std::nullopt;
    return Imaging::CubeLookup(profile.cubeDimension, profile.cube->data());
}

std::optional<Image> apply(const Image& image, const Profile& profile) {
    if (image.empty() || !cubeLookup(profile)) return std::nullopt;
    return Imaging::colourCube(image, profile.cubeDimension, *profile.cube, 4);
}

}  // namespace CameraProfile

namespace BlueViolet {

std::optional<Image> apply(const Image& image) {
    if (image.empty()) return std::nullopt;
    return mapRGB(image, correct);
}

}  // namespace BlueViolet

namespace CameraTone {

std::optional<Image> lift(const Image& image, double k) {
    if (image.empty() || !std::isfinite(k)) return std::nullopt;
    return mapRGB(image, [k = float(k)](const Colour::RGB& c) { return liftPixel(c, k); });
}

std::optional<Image> apply(const Image& image, const std::optional<Match>& match) {
    const auto knots = lightnessKnots(match);
    if (!knots || image.empty()) return std::nullopt;
    return mapRGB(image, [&knots](const Colour::RGB& c) { return applyKnots(*knots, c); });
}

const std::optional<Curves::Tables>& shoulderTables() {
    static const auto tables = Curves::channelTables(shoulderCurves());
    return tables;
}

std::optional<Image> shoulder(const Image& image) {
    const auto& tables = shoulderTables();
    if (!tables || image.empty()) return std::nullopt;
    return mapRGB(image, [&tables](const Colour::RGB& c) { return Curves::apply(*tables, c); });
}

}  // namespace CameraTone

namespace CameraLook {

std::optional<Image> apply(const Image& image, const std::optional<Match>& match) {
    if (!match || image.empty()) return std::nullopt;
    const auto tables = curveTables(*match);
    if (!tables) return std::nullopt;
    return Imaging::colourCurves(image, *tables);
}

}  // namespace CameraLook
