#include "engine/camera/blue_violet.h"

#include <algorithm>
#include <cmath>

#include "engine/camera/oklab_pixel.h"

namespace BlueViolet {

namespace {

float smoothstep(float a, float b, float x) {
    const float t = std::clamp((x - a) / (b - a), 0.0f, 1.0f);
    return t * t * (3 - 2 * t);
}

float mix(float x, float y, float t) { return x + (y - x) * t; }

}  // namespace

Develop::RGB correct(const Develop::RGB& s) {
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
