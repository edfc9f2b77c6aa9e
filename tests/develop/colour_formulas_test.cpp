#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "engine/develop/colormix.h"
#include "engine/develop/monochrome.h"
#include "engine/imaging/colour/oklab.h"

namespace {

using Colour::RGB;

constexpr float degrees = std::numbers::pi_v<float> / 180;

// An sRGB-encoded pixel of the given OKLab lightness, chroma and hue (degrees).
RGB fromLCh(float L, float C, float h) { return OKLab::screen({L, C * std::cos(h * degrees), C * std::sin(h * degrees)}); }

bool inGamut(const OKLab::Lab& lab) {
    const auto c = OKLab::toLinear(lab);
    return c.r >= 0 && c.r <= 1 && c.g >= 0 && c.g <= 1 && c.b >= 0 && c.b <= 1;
}

TEST(OKLab, KnownValuesAndRoundTrip) {
    struct Case {
        RGB rgb;
        OKLab::Lab lab;
    };
    // Reference values of the published transform.
    const Case cases[] = {
        {{1, 1, 1}, {1, 0, 0}},
        {{0, 0, 0}, {0, 0, 0}},
        {{1, 0, 0}, {0.627955f, 0.224863f, 0.125846f}},
        {{0, 0, 1}, {0.452014f, -0.032457f, -0.311528f}},
    };
    for (const auto& c : cases) {
        const auto lab = OKLab::fromSRGB(c.rgb);
        EXPECT_NEAR(lab.L, c.lab.L, 2e-4);
        EXPECT_NEAR(lab.a, c.lab.a, 2e-4);
        EXPECT_NEAR(lab.b, c.lab.b, 2e-4);
    }
    for (const RGB rgb : {RGB{0.2f, 0.5f, 0.8f}, RGB{0.9f, 0.1f, 0.3f}, RGB{0.02f, 0.01f, 0.03f}}) {
        const auto back = OKLab::screen(OKLab::fromSRGB(rgb));
        EXPECT_NEAR(back.r, rgb.r, 1e-4);
        EXPECT_NEAR(back.g, rgb.g, 1e-4);
        EXPECT_NEAR(back.b, rgb.b, 1e-4);
    }
    // Decoding passes values beyond 0…1 through; encoding clamps.
    EXPECT_NEAR(OKLab::linear(-0.1f), -0.1f / 12.92f, 1e-7);
    EXPECT_GT(OKLab::linear(1.2f), 1.0f);
    EXPECT_EQ(OKLab::encode(-0.5f), 0.0f);
    EXPECT_NEAR(OKLab::encode(2.0f), 1.0f, 1e-6);
    EXPECT_NEAR(OKLab::hueDegrees({0.5f, 0, -0.1f}), 270, 1e-4);
}

TEST(ColorMix, BandWeightsCrossFade) {
    struct Case {
        float hue;
        int band;
        float weight;
    };
    const Case cases[] = {
        {19, 0, 1},           {19, 1, 0},           {30, 0, 10.0f / 21},  {30, 1, 11.0f / 21},
        {355, 7, 14.0f / 19}, {355, 0, 5.0f / 19},  {5, 0, 15.0f / 19},   {5, 7, 4.0f / 19},
        {240, 5, 1},          {120, 3, 16.0f / 26}, {120, 2, 10.0f / 26}, {0, 0, 10.0f / 19},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(ColorMix::bandWeights(c.hue)[c.band], c.weight, 1e-6) << "hue " << c.hue << " band " << c.band;
    for (float h = 0; h < 360; h += 0.5f) {
        float sum = 0;
        for (float w : ColorMix::bandWeights(h)) sum += w;
        EXPECT_NEAR(sum, 1, 1e-5) << "hue " << h;
    }
}

TEST(ColorMix, ParametersFromBands) {
    EXPECT_FALSE(ColorMix::parameters(ColorMix::Bands{}));
    ColorMix::Bands zeros;
    zeros.red = ColorMix::Band{0, 0, 0};
    EXPECT_FALSE(ColorMix::parameters(zeros));

    ColorMix::Bands bands;
    bands.red = ColorMix::Band{-100, std::nullopt, std::nullopt};
    bands.orange = ColorMix::Band{-50, -100, 40};
    bands.blue = ColorMix::Band{250, 50, std::nullopt};
    const auto p = ColorMix::parameters(bands);
    ASSERT_TRUE(p);
    const auto& red = (*p)[0];
    EXPECT_NEAR(red.A[0], -19.6 * degrees, 1e-6);
    EXPECT_NEAR(red.A[1], 1.15, 1e-6);
    EXPECT_EQ(red.A[2], 1);
    const auto& orange = (*p)[1];
    EXPECT_NEAR(orange.A[0], std::pow(0.5, 0.8) * -39.3 * degrees, 1e-6);  // about −22.6°
    EXPECT_EQ(orange.A[2], 0);                                            // saturation −100
    EXPECT_NEAR(orange.B[1], -0.38, 1e-6);
    EXPECT_NEAR(orange.B[0], 1.2 * 40 / 100, 1e-6);
    const auto& blue = (*p)[5];
    EXPECT_NEAR(blue.A[0], 71.2 * degrees, 1e-6);  // clamped to +100
    EXPECT_NEAR(blue.A[1], 1.27, 1e-6);
    EXPECT_NEAR(blue.A[2], 1 + 1.08 * 0.5, 1e-6);
    EXPECT_NEAR(blue.A[3], -0.081 * 0.5, 1e-6);
    const auto& green = (*p)[3];  // absent band: no change
    EXPECT_EQ(green.A, (std::array<float, 4>{0, 1, 1, 0}));
    EXPECT_EQ(green.B, (std::array<float, 4>{0, 0, 0, 0}));
}

TEST(ColorMix, MixPixels) {
    ColorMix::Bands hueDown;
    hueDown.red = ColorMix::Band{-100, std::nullopt, std::nullopt};
    const auto turn = *ColorMix::parameters(hueDown);

    // Greys are untouched whatever the sliders.
    for (const RGB grey : {RGB{0.5f, 0.5f, 0.5f}, RGB{0, 0, 0}, RGB{1, 1, 1}})
        EXPECT_EQ(ColorMix::mix(grey, turn), grey);

    // A red (hue 14°, wholly in the red band) turns by −19.6° and gains 15% chroma.
    const RGB pink = fromLCh(0.6f, 0.08f, 14);
    const auto before = OKLab::fromSRGB(pink);
    const auto after = OKLab::fromSRGB(ColorMix::mix(pink, turn));
    EXPECT_NEAR(after.L, before.L, 1e-4);
    EXPECT_NEAR(OKLab::chroma(after), 1.15f * OKLab::chroma(before), 1e-4);
    EXPECT_NEAR(OKLab::hueDegrees(after), OKLab::hueDegrees(before) - 19.6f + 360, 0.05);

    // A hue in another band is left alone.
    const RGB teal = fromLCh(0.6f, 0.08f, 200);
    const auto tealAfter = ColorMix::mix(teal, turn);
    EXPECT_NEAR(tealAfter.r, teal.r, 1e-5);
    EXPECT_NEAR(tealAfter.g, teal.g, 1e-5);
    EXPECT_NEAR(tealAfter.b, teal.b, 1e-5);

    // Saturation −100 on red: a grey lifted by 0.19 · C.
    ColorMix::Bands desaturate;
    desaturate.red = ColorMix::Band{std::nullopt, -100, std::nullopt};
    const auto grey = OKLab::fromSRGB(ColorMix::mix(pink, *ColorMix::parameters(desaturate)));
    EXPECT_NEAR(OKLab::chroma(grey), 0, 1e-4);
    EXPECT_NEAR(grey.L, before.L + 0.19f * OKLab::chroma(before), 1e-4);

    // Luminance on orange (hue 48°, wholly in the orange band; strength 1.2).
    for (const double slider : {50.0, -50.0}) {
        ColorMix::Bands luminance;
        luminance.orange = ColorMix::Band{std::nullopt, std::nullopt, slider};
        const RGB orange = fromLCh(0.6f, 0.08f, 48);
        const auto o0 = OKLab::fromSRGB(orange);
        const float L = o0.L, Co = OKLab::chroma(o0), s = 1.2f * float(slider) / 100;
        const float lum = s > 0 ? s * 2.706f * std::pow(Co, 0.60f) * std::pow(L, 2.10f) * std::pow(1 - L, 0.66f)
                                : s * 2.075f * std::pow(Co, 0.84f) * std::pow(L, 1.68f) * std::pow(1 - L, -0.35f);
        const auto o1 = OKLab::fromSRGB(ColorMix::mix(orange, *ColorMix::parameters(luminance)));
        EXPECT_NEAR(o1.L, L + lum, 1e-4) << slider;
        EXPECT_NEAR(OKLab::chroma(o1), Co, 1e-4) << slider;
    }

    // A boost that leaves the gamut keeps lightness and hue and loses just enough chroma.
    ColorMix::Bands boost;
    boost.red = ColorMix::Band{std::nullopt, 100, std::nullopt};
    const RGB vivid = fromLCh(0.6f, 0.17f, 14);
    const auto v0 = OKLab::fromSRGB(vivid);
    const float C = OKLab::chroma(v0);
    const float wanted = C * (1 + 1.44f * std::max(0.0f, 1 - C / 0.25f));
    const float L2 = v0.L - 0.056f;
    const float h = OKLab::hueDegrees(v0) * degrees;
    ASSERT_FALSE(inGamut({L2, wanted * std::cos(h), wanted * std::sin(h)}));
    const auto v1 = OKLab::fromSRGB(ColorMix::mix(vivid, *ColorMix::parameters(boost)));
    EXPECT_NEAR(v1.L, L2, 2e-3);
    EXPECT_NEAR(OKLab::hueDegrees(v1), OKLab::hueDegrees(v0), 0.2);
    const float scale = OKLab::chroma(v1) / wanted;
    EXPECT_TRUE(inGamut({L2, scale * 0.999f * wanted * std::cos(h), scale * 0.999f * wanted * std::sin(h)}));
    const float over = scale + 1.0f / 256 + 0.002f;
    EXPECT_FALSE(inGamut({L2, over * wanted * std::cos(h), over * wanted * std::sin(h)}));
}

TEST(ChromaSliders, RowsAndPixels) {
    const auto quarter = ChromaSliders::row(ChromaSliders::saturation, 25);
    EXPECT_NEAR(quarter.factor[0], 1 + 0.58 / 2, 1e-6);
    EXPECT_NEAR(quarter.lightness[5], 0.01 / 2, 1e-7);
    const auto full = ChromaSliders::row(ChromaSliders::vibrance, 400);
    EXPECT_EQ(full.factor, ChromaSliders::row(ChromaSliders::vibrance, 100).factor);
    EXPECT_NEAR(full.factor[2], 2.114, 1e-6);
    const auto minus75 = ChromaSliders::row(ChromaSliders::vibrance, -75);
    EXPECT_NEAR(minus75.lightness[4], (-0.093 - 0.039) / 2, 1e-6);

    // pick: constant before the first node and after the last, linear between.
    std::array<float, 8> nodes{0, 10, 20, 30, 40, 50, 60, 70};
    EXPECT_NEAR(ChromaSliders::pick(nodes, 0), 0, 1e-5);
    EXPECT_NEAR(ChromaSliders::pick(nodes, 0.0075f + 0.015f * 2.5f), 25, 1e-3);
    EXPECT_NEAR(ChromaSliders::pick(nodes, 0.4f), 70, 1e-5);

    // Saturation −100 turns every colour grey.
    const auto none = ChromaSliders::row(ChromaSliders::saturation, -100);
    const auto grey = ChromaSliders::apply(fromLCh(0.6f, 0.1f, 140), none);
    EXPECT_NEAR(grey.r, grey.g, 1e-5);
    EXPECT_NEAR(grey.g, grey.b, 1e-5);

    // A chroma between nodes 1 and 2 is scaled by the interpolated factor.
    const auto plus50 = ChromaSliders::row(ChromaSliders::saturation, 50);
    const RGB pixel = fromLCh(0.5f, 0.03f, 300);
    const auto lab0 = OKLab::fromSRGB(pixel);
    const float C = OKLab::chroma(lab0);
    const float p = (C - 0.0075f) / 0.015f;  // about 1.5
    const float factor = 1.58f + (1.53f - 1.58f) * (p - 1);
    const float lift = 0.002f + (0.003f - 0.002f) * (p - 1);
    const auto lab1 = OKLab::fromSRGB(ChromaSliders::apply(pixel, plus50));
    EXPECT_NEAR(OKLab::chroma(lab1), C * factor, 1e-4);
    EXPECT_NEAR(lab1.L, lab0.L + lift, 1e-4);

    Develop::Look look;
    EXPECT_TRUE(ChromaSliders::rows(look).empty());
    look.saturation = 0;
    look.vibrance = 0;
    EXPECT_TRUE(ChromaSliders::rows(look).empty());
    look.saturation = 50;
    look.vibrance = -50;
    const auto rows = ChromaSliders::rows(look);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].factor, plus50.factor);  // saturation first
    EXPECT_NEAR(rows[1].factor[0], 0.462, 1e-6);
    look.saturation.reset();
    ASSERT_EQ(ChromaSliders::rows(look).size(), 1u);
    EXPECT_NEAR(ChromaSliders::rows(look)[0].factor[0], 0.462, 1e-6);
}

TEST(Monochrome, GreyOfTheLightnessShiftedByBand) {
    const auto mix = [](std::optional<double> blue) {
        Monochrome::Mix m;
        m.blue = blue;
        return Monochrome::values(m);
    };
    const ColorMix::BandValues none{};
    EXPECT_EQ(Monochrome::values(std::nullopt), none);
    EXPECT_EQ(mix(-250)[5], -1);

    struct Case {
        const char* name;
        RGB pixel;
        ColorMix::BandValues mix;
        // Expected OKLab lightness from the pixel's own lightness L and chroma C.
        float (*expected)(float L, float C);
    };
    const RGB blue = fromLCh(0.5f, 0.12f, 245);  // wholly in the blue band
    const Case cases[] = {
        {"no mix keeps the lightness", fromLCh(0.7f, 0.1f, 60), none, [](float L, float) { return L; }},
        {"a grey ignores the mix", {0.3f, 0.3f, 0.3f}, mix(-100), [](float L, float) { return L; }},
        {"blue −100 darkens", blue, mix(-100), [](float L, float C) { return L - C * 2.2f * (0.5f + L); }},
        {"blue +100 lightens", blue, mix(100), [](float L, float C) { return L + C * 1.2f * (1.5f - L); }},
        {"another band's value does nothing", blue, [] {
             Monochrome::Mix m;
             m.red = 100;
             return Monochrome::values(m);
         }(), [](float L, float) { return L; }},
        {"darkening stops at black", {0, 0, 0.35f}, mix(-100), [](float, float) { return 0.0f; }},
    };
    for (const auto& c : cases) {
        const auto lab = OKLab::fromSRGB(c.pixel);
        const auto out = Monochrome::gray(c.pixel, c.mix);
        EXPECT_NEAR(out.r, out.g, 1e-5) << c.name;
        EXPECT_NEAR(out.g, out.b, 1e-5) << c.name;
        EXPECT_NEAR(OKLab::fromSRGB(out).L, c.expected(lab.L, OKLab::chroma(lab)), 2e-4) << c.name;
    }
}

}  // namespace
