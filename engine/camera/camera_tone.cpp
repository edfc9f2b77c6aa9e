#include "engine/camera/camera_tone.h"

#include <algorithm>
#include <cmath>

#include "engine/camera/oklab_pixel.h"

namespace CameraTone {

namespace {

float lightnessCurve(const std::vector<float>& knots, float L) {
    const float x = std::clamp(L, 0.0f, 1.0f) * (knotCount - 1);
    const int i = std::min(int(x), knotCount - 2);
    const float f = x - float(i);
    return knots[i] + (knots[i + 1] - knots[i]) * f;
}

}  // namespace

Curves::Set shoulderCurves() {
    Curves::Set set;
    set.master = Curves::Points{{0, 0}, {0.8, 0.8}, {0.9, 0.885}, {0.95, 0.925}, {1.0, 0.965}};
    return set;
}

std::optional<Match> match(const std::filesystem::path&) { return std::nullopt; }

std::optional<std::vector<float>> lightnessKnots(const std::optional<Match>& match) {
    if (!match || !match->knots || match->knots->size() != knotCount) return std::nullopt;
    std::vector<float> knots = *match->knots;
    knots.insert(knots.end(), {1.0f, 1.0f, 1.0f});
    for (float& k : knots) k = std::clamp(k, 0.0f, 1.0f);
    return knots;
}

Colour::RGB applyKnots(const std::vector<float>& knots, const Colour::RGB& s) {
    if (knots.size() < std::size_t(knotCount)) return s;
    const CameraOKLab::Lab lab = CameraOKLab::fromEncoded(s);
    const float L2 = lightnessCurve(knots, lab.L);
    return CameraOKLab::toEncoded({L2, lab.A, lab.B});
}

Colour::RGB liftPixel(const Colour::RGB& c, float k) {
    const float y = 0.2126f * c.r + 0.7152f * c.g + 0.0722f * c.b;
    if (y <= 0) return c;
    const float gain = 1 + k * toe / (y + toe);
    const float colourGain = std::pow(gain, colourShare);
    return {y * gain + (c.r - y) * colourGain, y * gain + (c.g - y) * colourGain, y * gain + (c.b - y) * colourGain};
}

}  // namespace CameraTone

namespace CameraTone {

std::optional<Imaging::Image> lift(const Imaging::Image& image, double k) {
    if (image.empty() || !std::isfinite(k)) return std::nullopt;
    return Imaging::map(image, [k = float(k)](const Imaging::Pixel& p) {
        const Colour::RGB c = liftPixel(Colour::RGB{p.r, p.g, p.b}, k);
        return Imaging::Pixel{c.r, c.g, c.b, p.a};
    });
}

const std::optional<Curves::Tables>& shoulderTables() {
    static const auto tables = Curves::channelTables(shoulderCurves());
    return tables;
}

}  // namespace CameraTone
