#include "engine/camera/blue_violet.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "engine/camera/oklab_pixel.h"
#include "engine/imaging/colour/oklab_rows.h"
#include "engine/imaging/fast_math.h"
#include "engine/imaging/vector_loop.h"

namespace BlueViolet {

namespace {

float smoothstep(float a, float b, float x) {
    float t = (x - a) / (b - a);
    t = t < 0 ? 0.0f : t;  // (plain selects: row loops vectorise them)
    t = t > 1 ? 1.0f : t;
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
bool mayBeInBand(const Colour::RGB& s) {
    const float r = smallDecode(s.r), g = smallDecode(s.g), b = smallDecode(s.b);
    const float L = 0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b;
    const float M = 0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b;
    const float S = 0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b;
    return !(S + 1e-5f <= std::min(L, M));
}

// The correction of `count` colours given in OKLab, as `correct` takes it
// (with the branch-free hue and turn of `FastMath`), into linear RGB rows
// (negatives cut to 0); `changed` is 1 where the correction applies, 0 for
// the colours it leaves alone.
VECTOR_LOOP void correctLab(const float* __restrict Ls, const float* __restrict As, const float* __restrict Bs,
                            float* __restrict r, float* __restrict g, float* __restrict b, float* __restrict changed,
                            int count) {
#pragma GCC ivdep
    for (int i = 0; i < count; ++i) {
        const float L = Ls[i], A = As[i], B = Bs[i];
        const float C = std::sqrt(A * A + B * B);
        float h = FastMath::atan2(B, A) * 57.29577951f;
        h = h < 0 ? h + 360 : h;
        const float w = smoothstep(200, 245, h) * (1 - smoothstep(320, 350, h));
        const float turn = purpleTurn * smoothstep(232, 268, h) * (1 - smoothstep(292, 328, h)) *
                           (1 - brightTurnCut * smoothstep(0.35f, 0.55f, L));
        const float bright = smoothstep(0.45f, 0.8f, L) * smoothstep(250, 280, h) * (1 - smoothstep(320, 350, h));
        const float scale = mix(1, chromaScale, smoothstep(darkStart, darkEnd, L)) - brightFade * bright;
        const float C2 = C * mix(1, scale, w);
        const float lifted = L + liftPerChroma * C * w;
        const float L2 = lifted < 1 ? lifted : 1.0f;
        const float t = turn * 0.01745329252f, k = C2 / C;
        const float c = FastMath::cosSmall(t), s = FastMath::sinSmall(t);
        const float A2 = k * (A * c - B * s), B2 = k * (A * s + B * c);
        const Colour::RGB linear = OKLab::toLinear({L2, A2, B2});
        r[i] = linear.r > 0 ? linear.r : 0.0f;
        g[i] = linear.g > 0 ? linear.g : 0.0f;
        b[i] = linear.b > 0 ? linear.b : 0.0f;
        changed[i] = (C >= 0.0001f) & (B < 0) & (w > 0) ? 1.0f : 0.0f;
    }
}

}  // namespace

// Whether an OKLab colour's hue may lie in the band (200°…350°, where the
// weight is above 0) with chroma enough to be corrected: a half-plane test
// on each side, a degree wide of the band's ends against rounding.
inline bool mayBeTurned(float A, float B) {
    // (& rather than &&: no branches; a NaN fails every comparison)
    return (A * A + B * B >= 1e-8f) & (B < 0) & (0.3256f * A - 0.9455f * B > 0) & (-0.1564f * A - 0.9877f * B > 0);
}

void correctRow(Imaging::Pixel* pixels, int count) {
    thread_local std::vector<float> planes;
    thread_local std::vector<Imaging::Pixel> colours;
    thread_local std::vector<int> positions;
    const std::size_t n = std::size_t(count);
    planes.resize(7 * n);
    colours.resize(n);
    positions.resize(n);
    float *L = planes.data(), *A = L + n, *B = A + n, *r = B + n, *g = r + n, *b = g + n, *changed = b + n;
    for (std::size_t i = 0; i < n; ++i)  // clamped to 0…1 before the conversion, as `correct` takes them
        colours[i] = {std::clamp(pixels[i].r, 0.0f, 1.0f), std::clamp(pixels[i].g, 0.0f, 1.0f),
                      std::clamp(pixels[i].b, 0.0f, 1.0f), 1};
    OKLab::fromSRGBRow(colours.data(), L, A, B, count);
    // Only colours the correction may change go on, packed at the front.
    int m = 0;
    for (int i = 0; i < count; ++i) {
        if (!mayBeTurned(A[i], B[i])) continue;
        positions[std::size_t(m)] = i;
        L[m] = L[i];
        A[m] = A[i];
        B[m] = B[i];
        ++m;
    }
    if (m == 0) return;
    correctLab(L, A, B, r, g, b, changed, m);
    for (int k = 0; k < m; ++k) colours[std::size_t(k)] = {r[k], g[k], b[k], 1};
    Imaging::sRGBEncoder().applyToColours(colours.data(), m);
    for (int k = 0; k < m; ++k) {
        if (changed[k] == 0) continue;
        Imaging::Pixel& p = pixels[positions[std::size_t(k)]];
        p = {colours[std::size_t(k)].r, colours[std::size_t(k)].g, colours[std::size_t(k)].b, p.a};
    }
}

Colour::RGB correct(const Colour::RGB& s) {
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
