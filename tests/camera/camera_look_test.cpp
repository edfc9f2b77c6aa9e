// Camera look matching (sampling, histograms, the fitted curves), the
// blue–violet correction and the camera tone operations, on plain pixels.

#include <cmath>
#include <numeric>

#include <gtest/gtest.h>

#include "engine/camera/blue_violet.h"
#include "engine/camera/camera_look.h"
#include "engine/camera/camera_tone.h"
#include "engine/imaging/colour/oklab.h"

using Colour::RGB;

namespace {

std::vector<double> bellHistogram(double centre, double width) {
    std::vector<double> h(256);
    for (int i = 0; i < 256; ++i) h[i] = 1 + 1000 * std::exp(-std::pow((i - centre) / width, 2));
    return h;
}

double hueOf(const RGB& c) {
    // OKLab hue of an sRGB-encoded colour, for checking which way a colour turned.
    auto lin = [](float v) { return v <= 0.04045f ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    const double r = lin(c.r), g = lin(c.g), b = lin(c.b);
    const double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    const double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    const double q = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    const double A = 1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * q;
    const double B = 0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * q;
    const double h = std::atan2(B, A) * 180 / M_PI;
    return h < 0 ? h + 360 : h;
}

}  // namespace

TEST(CameraLookCurve, Fit) {
    const auto ours = bellHistogram(110, 40);
    // Identical histograms (no empty level): the identity.
    const auto same = CameraLookCurve::fit(ours, ours);
    ASSERT_EQ(same.size(), 256u);
    for (int i = 0; i < 256; ++i) EXPECT_NEAR(same[i], i, 1e-4) << i;

    // The camera's histogram 10 levels higher: about +10 through the mid-range,
    // smoothed towards the ends, never above 255 and never decreasing.
    std::vector<double> shifted(256, 1.0);
    for (int i = 0; i + 10 < 256; ++i) shifted[i + 10] = ours[i];
    const auto up = CameraLookCurve::fit(ours, shifted);
    for (int i = 60; i <= 170; ++i) EXPECT_NEAR(up[i], i + 10, 1.0) << i;
    for (int i = 0; i < 256; ++i) {
        EXPECT_LE(up[i], 255.0f);
        EXPECT_GE(up[i], 0.0f);
        if (i > 0) {
            EXPECT_GE(up[i], up[i - 1] - 1e-3) << i;
        }
    }
    EXPECT_LT(up[255], 255.0f + 1e-3f);

    // Not usable: the identity.
    const std::vector<float> identity = same;
    const std::vector<std::pair<std::vector<double>, std::vector<double>>> unusable{
        {std::vector<double>(255, 1.0), ours},
        {ours, std::vector<double>(256, 0.0)},
        {std::vector<double>(256, -1.0), ours},
        {{}, {}},
    };
    for (const auto& [a, b] : unusable) {
        const auto curve = CameraLookCurve::fit(a, b);
        for (int i = 0; i < 256; ++i) ASSERT_EQ(curve[i], float(i));
    }
}

TEST(CameraLook, SamplingAndHistograms) {
    // A 4 × 2 RGB picture; every third pixel of the whole buffer: 0, 3, 6 (crossing the row end).
    Imaging::Bitmap rgb(4, 2, 3);
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 3; ++k) rgb.pixels[i * 3 + k] = std::uint8_t(10 * i + k);
    const auto samples = CameraLook::pixels(rgb);
    ASSERT_TRUE(samples);
    EXPECT_EQ(*samples, (std::vector<std::uint8_t>{0, 1, 2, 255, 30, 31, 32, 255, 60, 61, 62, 255}));
    const auto red = CameraLook::histogram(*samples, 0), blue = CameraLook::histogram(*samples, 2);
    EXPECT_EQ(red[0], 1);
    EXPECT_EQ(red[30], 1);
    EXPECT_EQ(blue[62], 1);
    EXPECT_EQ(std::accumulate(red.begin(), red.end(), 0.0), 3);

    Imaging::Bitmap grey(1, 1, 1);
    grey.pixels = {77};
    EXPECT_EQ(*CameraLook::pixels(grey), (std::vector<std::uint8_t>{77, 77, 77, 255}));
    Imaging::Bitmap translucent(1, 1, 4);
    translucent.pixels = {200, 100, 0, 128};  // drawn premultiplied
    EXPECT_EQ(*CameraLook::pixels(translucent), (std::vector<std::uint8_t>{100, 50, 0, 255}));
    EXPECT_FALSE(CameraLook::pixels(Imaging::Bitmap(0, 5, 3)));
}

TEST(CameraLook, CurveTables) {
    CameraLook::Match match;
    for (int c = 0; c < 3; ++c) {
        std::vector<float> curve(256);
        for (int i = 0; i < 256; ++i) curve[i] = float(std::min(255, i + 10 * c));
        match.curves.push_back(curve);
    }
    const auto tables = CameraLook::curveTables(match);
    ASSERT_TRUE(tables);
    EXPECT_FLOAT_EQ((*tables)[0][51], 0.2f);
    EXPECT_FLOAT_EQ((*tables)[2][0], 20 / 255.0f);
    EXPECT_FLOAT_EQ((*tables)[1][255], 1.0f);

    match.curves.pop_back();  // two curves: not usable
    EXPECT_FALSE(CameraLook::curveTables(match));
    EXPECT_FALSE(CameraLook::curveTables({}));
}

TEST(BlueViolet, UntouchedAndTouchedHues) {
    const RGB untouched[] = {
        {0.5f, 0.5f, 0.5f},   // grey: no chroma
        {0, 0, 0},            // black
        {0.2f, 0.8f, 0.2f},   // green, hue near 140°
        {0.9f, 0.1f, 0.1f},   // red
        {0.9f, 0.8f, 0.1f},   // yellow
        {0.1f, 0.7f, 0.7f},   // cyan (hue near 195°, below the band)
        {0.9f, 0.2f, 0.5f},   // pink-red, above the band
    };
    for (const RGB& c : untouched) {
        const RGB out = BlueViolet::correct(c);
        EXPECT_EQ(out, c) << c.r << " " << c.g << " " << c.b;
    }

    // A dark violet-blue: lighter, turned towards purple, chroma mostly kept.
    const RGB violet{0.25f, 0.15f, 0.6f};
    const RGB v = BlueViolet::correct(violet);
    EXPECT_NE(v, violet);
    EXPECT_GT(hueOf(v), hueOf(violet));
    EXPECT_GT(v.r + v.g + v.b, violet.r + violet.g + violet.b);
    // A light sky blue (hue near 244°): less saturated, hue barely moved.
    const RGB sky{0.5f, 0.75f, 0.95f};
    const RGB s = BlueViolet::correct(sky);
    EXPECT_LT(s.b - s.r, sky.b - sky.r);
    EXPECT_NEAR(hueOf(s), hueOf(sky), 2.5);
    EXPECT_GT(hueOf(v) - hueOf(violet), 15.0);
}

TEST(BlueViolet, EveryColourInTheBandIsCorrectedAndNoOtherOne) {
    // A 33³ grid of colours: the correction leaves a colour alone exactly
    // when its OKLab hue lies outside the band (or it has next to no chroma).
    int inBand = 0;
    for (int r = 0; r <= 32; ++r)
        for (int g = 0; g <= 32; ++g)
            for (int b = 0; b <= 32; ++b) {
                const RGB c{r / 32.0f, g / 32.0f, b / 32.0f};
                const OKLab::Lab lab = OKLab::fromSRGB(c);
                const float chroma = std::hypot(lab.a, lab.b);
                float hue = std::atan2(lab.b, lab.a) * 57.29577951f;
                if (hue < 0) hue += 360;
                const RGB out = BlueViolet::correct(c);
                if (chroma < 0.0001f || hue <= 200 || hue >= 350) {
                    ASSERT_EQ(out, c) << c.r << " " << c.g << " " << c.b;
                } else if (chroma > 0.01f && hue > 205 && hue < 340) {
                    ++inBand;
                    ASSERT_NE(out, c) << c.r << " " << c.g << " " << c.b;
                }
            }
    EXPECT_GT(inBand, 1000);
}

TEST(BlueViolet, RowsMatchThePixelFormula) {
    // The 33³ grid, values beyond 0…1 and ones that are not numbers, in one row.
    std::vector<Imaging::Pixel> row;
    for (int r = 0; r <= 32; ++r)
        for (int g = 0; g <= 32; ++g)
            for (int b = 0; b <= 32; ++b) row.push_back({r / 32.0f, g / 32.0f, b / 32.0f, float(r % 3) / 2});
    for (const Imaging::Pixel& odd : std::initializer_list<Imaging::Pixel>{
             {1.4f, 0.2f, 1.8f, 1}, {-0.2f, -0.1f, 0.9f, 1}, {NAN, 0.3f, 0.8f, 1}, {0.2f, 0.3f, INFINITY, 1}})
        row.push_back(odd);
    std::vector<Imaging::Pixel> corrected = row;
    BlueViolet::correctRow(corrected.data(), int(corrected.size()));
    for (std::size_t i = 0; i < row.size(); ++i) {
        const Imaging::Pixel& p = row[i];
        const RGB expected = BlueViolet::correct({p.r, p.g, p.b});
        const Imaging::Pixel& q = corrected[i];
        if (std::isnan(p.r)) {
            EXPECT_TRUE(std::isnan(q.r)) << "left alone";
            continue;
        }
        EXPECT_NEAR(q.r, expected.r, 1e-4) << p.r << " " << p.g << " " << p.b;
        EXPECT_NEAR(q.g, expected.g, 1e-4) << p.r << " " << p.g << " " << p.b;
        EXPECT_NEAR(q.b, expected.b, 1e-4) << p.r << " " << p.g << " " << p.b;
        EXPECT_EQ(q.a, p.a);
    }
}

TEST(CameraTone, ShoulderAndMatches) {
    const Curves::Set shoulder = CameraTone::shoulderCurves();
    ASSERT_TRUE(shoulder.master);
    EXPECT_EQ(shoulder.master->back(), (std::vector<double>{1.0, 0.965}));
    EXPECT_FALSE(shoulder.red || shoulder.green || shoulder.blue);

    EXPECT_FALSE(CameraTone::match("/any/photo.cr3"));
    EXPECT_FALSE(CameraTone::lightnessKnots(std::nullopt));
    EXPECT_FALSE(CameraTone::lightnessKnots(CameraTone::Match{std::vector<float>(16, 0.5f), 0}));
    EXPECT_FALSE(CameraTone::lightnessKnots(CameraTone::Match{std::nullopt, 0.3f}));

    std::vector<float> identity(17);
    for (int i = 0; i < 17; ++i) identity[i] = i / 16.0f;
    identity[0] = -0.2f;  // clamped to 0
    const auto knots = CameraTone::lightnessKnots(CameraTone::Match{identity, 0});
    ASSERT_TRUE(knots);
    ASSERT_EQ(knots->size(), 20u);
    EXPECT_EQ((*knots)[0], 0.0f);
    EXPECT_EQ((*knots)[19], 1.0f);
    for (const RGB& c : {RGB{0.3f, 0.5f, 0.7f}, RGB{0.9f, 0.2f, 0.1f}, RGB{0.5f, 0.5f, 0.5f}}) {
        const RGB out = CameraTone::applyKnots(*knots, c);
        EXPECT_NEAR(out.r, c.r, 1e-4);
        EXPECT_NEAR(out.g, c.g, 1e-4);
        EXPECT_NEAR(out.b, c.b, 1e-4);
    }
    // Knots raised everywhere lighten a grey and keep it grey.
    std::vector<float> raised(17);
    for (int i = 0; i < 17; ++i) raised[i] = std::min(1.0f, i / 16.0f + 0.1f);
    const RGB lighter = CameraTone::applyKnots(*CameraTone::lightnessKnots(CameraTone::Match{raised, 0}), {0.4f, 0.4f, 0.4f});
    EXPECT_GT(lighter.r, 0.45f);
    EXPECT_NEAR(lighter.r, lighter.g, 1e-4);
    EXPECT_NEAR(lighter.g, lighter.b, 1e-4);
}

TEST(CameraTone, SceneLift) {
    EXPECT_EQ(CameraTone::liftPixel({0, 0, 0}, 1), (RGB{0, 0, 0}));
    EXPECT_EQ(CameraTone::liftPixel({-0.1f, 0, 0}, 1), (RGB{-0.1f, 0, 0}));
    // Grey at y = 0.012: gain 1 + k / 2.
    const RGB grey = CameraTone::liftPixel({0.012f, 0.012f, 0.012f}, 0.5f);
    EXPECT_NEAR(grey.r, 0.012f * 1.25f, 1e-7);
    EXPECT_NEAR(grey.b, 0.012f * 1.25f, 1e-7);
    // A colour: brightness by the gain, distance from grey by gain^0.7.
    const RGB c{0.03f, 0.01f, 0.02f};
    const float y = 0.2126f * 0.03f + 0.7152f * 0.01f + 0.0722f * 0.02f;
    const float gain = 1 + 2 * 0.012f / (y + 0.012f);
    const RGB out = CameraTone::liftPixel(c, 2);
    EXPECT_NEAR(out.r, y * gain + (0.03f - y) * std::pow(gain, 0.7f), 1e-6);
    EXPECT_NEAR(out.g, y * gain + (0.01f - y) * std::pow(gain, 0.7f), 1e-6);
    // Bright pixels barely move.
    const RGB bright = CameraTone::liftPixel({0.8f, 0.8f, 0.8f}, 1);
    EXPECT_NEAR(bright.r, 0.8f * (1 + 0.012f / 0.812f), 1e-6);
}
