#include "engine/camera/blue_violet.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "engine/camera/oklab_pixel.h"

namespace BlueViolet {

namespace {

float smoothstep(float a, float b, float x) {
    const float t = std::clamp((x - a) / (b - a), 0.0f, 1.0f);
    return t * t * (3 - 2 * t);
}

float mix(float x, float y, float t) { return x + (y - x) * t; }

// sRGB decoding through a small table (linear between 1024 steps, within
// 1e-6 of the formula), precise enough for the test below.
struct SmallDecodeTable {
    static constexpr int steps = 1024;
    std::array<float, steps + 2> values{};
    SmallDecodeTable() {
        for (int i = 0; i <= steps; ++i) values[std::size_t(i)] = Imaging::sRGBDecode(float(i) / steps);
        values[steps + 1] = values[steps];
    }
    float operator()(float encoded) const {
        const float position = (encoded > 0 ? std::min(encoded, 1.0f) : 0.0f) * float(steps);  // NaN counts as 0
        const int i = int(position);
        return values[std::size_t(i)] + (values[std::size_t(i) + 1] - values[std::size_t(i)]) * (position - float(i));
    }
};
const SmallDecodeTable smallDecode;

// Whether the colour can lie in the band at all, decided without the cube
// roots of the OKLab conversion: the band's hues (200°…350°) need b below
// −0.17·C, and b = 0.0259·∛L + 0.7828·∛M − 0.8087·∛S is at least 0 whenever
// the cone response S is at most min(L, M), as the first two weights add up
// to more than the third. The margin covers the table's error, so a colour
// near that edge takes the full path.
bool mayBeInBand(const Develop::RGB& s) {
    const float r = smallDecode(s.r), g = smallDecode(s.g), b = smallDecode(s.b);
    const float L = 0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b;
    const float M = 0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b;
    const float S = 0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b;
    return !(S + 1e-5f <= std::min(L, M));
}

}  // namespace

Develop::RGB correct(const Develop::RGB& s) {
    if (!mayBeInBand(s)) return s;
    const auto [L, A, B] = CameraOKLab::fromEncoded(s);
    const float C = std::sqrt(A * A + B * B);
    if (C < 0.0001f) return s;
    if (B >= 0) return s;  // hues 0°…180°, outside the band below
    float h = std::atan2(B, A) * 57.29577951f;
    if (h < 0) h += 360;

    const float w = smoothstep(200, 245, h) * (1 - smoothstep(320, 350, h));
    if (w <= 0) return s;

    const float turn = purpleTurn * smoothstep(232, 268, h) * (1 - smoothstep(292, 328, h)) *
                       (1 - brightTurnCut * smoothstep(0.35f, 0.55f, L));
    const float bright = smoothstep(0.45f, 0.8f, L) * smoothstep(250, 280, h) * (1 - smoothstep(320, 350, h));
    const float scale = mix(1, chromaScale, smoothstep(darkStart, darkEnd, L)) - brightFade * bright;
    const float C2 = C * mix(1, scale, w);
    const float L2 = std::min(L + liftPerChroma * C * w, 1.0f);

    const float t = turn * 0.01745329252f, k = C2 / C;
    const float A2 = k * (A * std::cos(t) - B * std::sin(t));
    const float B2 = k * (A * std::sin(t) + B * std::cos(t));

    return CameraOKLab::toEncoded({L2, A2, B2});
}

}  // namespace BlueViolet
