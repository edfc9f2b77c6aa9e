#include <cmath>

#include <gtest/gtest.h>

#include "engine/develop/detail.h"
#include "engine/develop/grain.h"
#include "engine/develop/presence.h"

namespace {

using Develop::Look;
using Colour::RGB;

void expectRGB(const RGB& got, const RGB& want, float tolerance, const char* what) {
    EXPECT_NEAR(got.r, want.r, tolerance) << what;
    EXPECT_NEAR(got.g, want.g, tolerance) << what;
    EXPECT_NEAR(got.b, want.b, tolerance) << what;
}

TEST(Presence, ParametersFromLook) {
    struct Case {
        std::optional<double> dehaze, texture, clarity;
        float wantDehaze, wantTexture, wantClarity;
    };
    const Case cases[] = {
        {std::nullopt, 100, std::nullopt, 0, 1.6f, 0},
        {-100, std::nullopt, std::nullopt, -0.5f, 0, 0},
        {400, -100, 50, 0.55f, -0.9f, 0.6f},
        {50, 0, -50, 0.275f, 0, -0.4f},
    };
    for (const auto& c : cases) {
        Look look;
        look.dehaze = c.dehaze;
        look.texture = c.texture;
        look.clarity = c.clarity;
        const auto p = Presence::parameters(look);
        ASSERT_TRUE(p);
        EXPECT_FLOAT_EQ(p->dehaze, c.wantDehaze);
        EXPECT_FLOAT_EQ(p->texture, c.wantTexture);
        EXPECT_FLOAT_EQ(p->clarity, c.wantClarity);
    }
    Look zeros;
    zeros.dehaze = 0;
    zeros.clarity = 0;
    EXPECT_FALSE(Presence::parameters(zeros));
    EXPECT_FALSE(Presence::parameters(Look::neutral()));

    EXPECT_DOUBLE_EQ(Presence::blurSigma(Presence::fineBlur, 1000, 600), 0.5);  // never below half a pixel
    EXPECT_DOUBLE_EQ(Presence::blurSigma(Presence::wideBlur, 4000, 6000), 72);
}

TEST(Presence, PixelFormulas) {
    // Negative dehaze mixes towards 0.92 × the air light (at least 0.5 per channel).
    expectRGB(Presence::dehaze({0.2f, 0.4f, 0.6f}, 0.1f, {0.3f, 0.8f, 0.4f}, -0.5f), {0.33f, 0.568f, 0.53f}, 1e-6f,
              "veil");
    // Positive dehaze: haze = (0.5 + 0.4) / 2, t = 1 − 0.55 · 0.45 / 0.9 = 0.725.
    expectRGB(Presence::dehaze({0.5f, 0.6f, 0.7f}, 0.4f, {0.9f, 0.9f, 0.9f}, 0.55f),
              {(0.5f - 0.9f) / 0.725f + 0.9f, (0.6f - 0.9f) / 0.725f + 0.9f, (0.7f - 0.9f) / 0.725f + 0.9f}, 1e-6f,
              "clear");
    // The transmission never drops below 0.2 and the result is clamped.
    expectRGB(Presence::dehaze({0.9f, 0.95f, 1.0f}, 1.0f, {0.5f, 0.5f, 0.5f}, 1.0f), {1, 1, 1}, 1e-6f, "floor");

    // Texture alone: wide = the pixel, so only the fine band counts.
    const RGB s{0.5f, 0.5f, 0.5f};
    const RGB fine{0.6f, 0.6f, 0.6f}, mid{0.55f, 0.55f, 0.55f};
    expectRGB(Presence::detail(s, fine, mid, s, 1.6f, 0), {0.58f, 0.58f, 0.58f}, 1e-6f, "texture");
    // Clarity: local 0.2 → 0.2 / 1.8, full weight at mid-grey, same change on every channel.
    const RGB colour{0.6f, 0.5f, 0.4f};
    const float y = Presence::luma(colour);
    const float local = (y - 0.3f) / (1 + 4 * (y - 0.3f));
    const float change = 1.2f * local * std::sqrt(4 * y * (1 - y));
    expectRGB(Presence::detail(colour, colour, colour, {0.3f, 0.3f, 0.3f}, 0, 1.2f),
              {0.6f + change, 0.5f + change, 0.4f + change}, 1e-6f, "clarity");
    // No mid-tone weight at black or white.
    expectRGB(Presence::detail({1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {0, 0, 0}, 0, 1.2f), {1, 1, 1}, 1e-6f, "white");
}

TEST(Grain, ParametersFromLookAndSize) {
    struct Case {
        std::optional<double> amount, size, roughness;
        int width, height;
        std::optional<Grain::Parameters> expected;
    };
    const Case cases[] = {
        {50, std::nullopt, std::nullopt, 6000, 4000, Grain::Parameters{2, 0.14f, 0.5f}},
        {50, std::nullopt, std::nullopt, 1500, 1000, Grain::Parameters{1, 0.07f, 0.5f}},
        {250, 100, 0, 3000, 6000, Grain::Parameters{5, 0.28f, 0}},
        {100, -20, 300, 600, 400, Grain::Parameters{1, 0.28f * 0.1f, 1}},
        {0, std::nullopt, std::nullopt, 6000, 4000, std::nullopt},
        {-5, std::nullopt, std::nullopt, 6000, 4000, std::nullopt},
        {std::nullopt, 50, 50, 6000, 4000, std::nullopt},
    };
    for (const auto& c : cases) {
        Look look;
        look.grainAmount = c.amount;
        look.grainSize = c.size;
        look.grainRoughness = c.roughness;
        const auto p = Grain::parameters(look, c.width, c.height);
        ASSERT_EQ(p.has_value(), c.expected.has_value());
        if (!p) continue;
        EXPECT_FLOAT_EQ(p->cell, c.expected->cell);
        EXPECT_FLOAT_EQ(p->amount, c.expected->amount);
        EXPECT_FLOAT_EQ(p->roughness, c.expected->roughness);
    }
}

TEST(Grain, NoiseIsFixedToPositions) {
    EXPECT_EQ(Grain::hash(0, 0), 0);
    EXPECT_NEAR(Grain::hash(1, 0), 0.8986, 1e-3);
    EXPECT_NEAR(Grain::hash(3, 7), 0.5728, 2e-3);
    // On lattice points the noise is the hash itself, minus 0.5.
    EXPECT_FLOAT_EQ(Grain::noise(1, 0), Grain::hash(1, 0) - 0.5f);

    const Grain::Parameters p{2, 0.14f, 0.5f};
    const RGB grey{0.5f, 0.5f, 0.5f};
    int changed = 0;
    for (int i = 0; i < 50; ++i) {
        const float x = 0.5f + i * 7, y = 0.5f + i * 3;
        const auto a = Grain::apply(grey, x, y, p);
        EXPECT_EQ(a, Grain::apply(grey, x, y, p));  // the same position always gets the same grain
        EXPECT_FLOAT_EQ(a.r, a.g);                  // the same change on every channel
        EXPECT_LE(std::fabs(a.r - 0.5f), 0.14f * 0.6f * 1.8f);
        if (a.r != 0.5f) ++changed;
    }
    EXPECT_GT(changed, 40);

    // Clamped to 0…1, and no amount leaves the pixel alone.
    for (int i = 0; i < 20; ++i) {
        const auto white = Grain::apply({1, 1, 1}, 0.5f + i, 10.5f, {1, 1, 1});
        EXPECT_LE(white.r, 1.0f);
        EXPECT_GE(Grain::apply({0, 0, 0}, 0.5f + i, 10.5f, {1, 1, 1}).r, 0.0f);
        EXPECT_EQ(Grain::apply(grey, 0.5f + i, 3.5f, {3, 0, 1}), grey);
    }
}

TEST(Detail, NoiseParameters) {
    struct Case {
        std::optional<double> luminance, colour;
        double scale;
        float lumStep, lumRange, colStep, colRange;
    };
    const Case cases[] = {
        {100, std::nullopt, 1, 2, 0.054f, 0, 0.03f},
        {100, std::nullopt, 0.25, 0.5f, 0.054f, 0, 0.03f},
        {20, 100, 0.5, 0.5f, 0.014f, 4, 0.15f},
        {std::nullopt, 50, 0.01, 0, 0.004f, 1, 0.09f},  // scale counts at least 0.05
        {300, -10, 2, 2, 0.054f, 0, 0.03f},
    };
    for (const auto& c : cases) {
        Look look;
        look.noiseLuminance = c.luminance;
        look.noiseColor = c.colour;
        const auto p = Detail::noiseParameters(look, c.scale);
        ASSERT_TRUE(p);
        EXPECT_FLOAT_EQ(p->lumStep, c.lumStep);
        EXPECT_FLOAT_EQ(p->lumRange, c.lumRange);
        EXPECT_FLOAT_EQ(p->colStep, c.colStep);
        EXPECT_FLOAT_EQ(p->colRange, c.colRange);
        EXPECT_FLOAT_EQ(p->softRadius, c.colStep / 2);
    }
    Look off;
    off.noiseLuminance = 0;
    off.noiseColor = -20;
    EXPECT_FALSE(Detail::noiseParameters(off, 1));
}

TEST(Detail, SharpenParameters) {
    struct Case {
        std::optional<double> amount, radius, detail, masking;
        double scale;
        std::optional<Detail::SharpenParameters> expected;
    };
    const Case cases[] = {
        {150, std::nullopt, std::nullopt, std::nullopt, 1, Detail::SharpenParameters{1, 2.4f, 0.016875f, 0.15f, 0.002f, 0, 1}},
        {300, 3, 100, 0, 0.5, Detail::SharpenParameters{1.5f, 2.4f, 0, 0.15f, 0.002f, 0, 1.5f}},
        {75, 0.1, 0, 50, 0.25, Detail::SharpenParameters{0.125f, 1.2f, 0.03f, 0.15f, 0.052f, 0.109f, 1}},
        {std::nullopt, 2, 50, 50, 1, std::nullopt},
        {0, 2, 50, 50, 1, std::nullopt},
    };
    for (const auto& c : cases) {
        Look look;
        look.sharpenAmount = c.amount;
        look.sharpenRadius = c.radius;
        look.sharpenDetail = c.detail;
        look.sharpenMasking = c.masking;
        const auto p = Detail::sharpenParameters(look, c.scale);
        ASSERT_EQ(p.has_value(), c.expected.has_value());
        if (!p) continue;
        EXPECT_FLOAT_EQ(p->sigma, c.expected->sigma);
        EXPECT_FLOAT_EQ(p->gain, c.expected->gain);
        EXPECT_FLOAT_EQ(p->fine, c.expected->fine);
        EXPECT_FLOAT_EQ(p->maskLo, c.expected->maskLo);
        EXPECT_FLOAT_EQ(p->maskHi, c.expected->maskHi);
        EXPECT_FLOAT_EQ(p->reach, c.expected->reach);
    }
}

TEST(Detail, PixelFormulas) {
    const OKLab::Lab c = OKLab::fromSRGB({0.4f, 0.5f, 0.6f});
    auto flat = [&](float, float) { return c; };

    // A flat neighbourhood comes back as it was.
    Look look;
    look.noiseLuminance = 100;
    look.noiseColor = 100;
    const auto noise = *Detail::noiseParameters(look, 1);
    expectRGB(Detail::denoise(c, flat, flat, noise), {0.4f, 0.5f, 0.6f}, 1e-4f, "flat denoise");

    // Lightness far outside the range does not pull; close lightness does.
    auto edge = [&](float dx, float) { return OKLab::Lab{dx > 0 ? c.L + 0.5f : c.L, c.a, c.b}; };
    EXPECT_NEAR(OKLab::fromSRGB(Detail::denoise(c, edge, flat, noise)).L, c.L, 1e-4);
    auto ripple = [&](float dx, float) { return OKLab::Lab{dx > 0 ? c.L + 0.01f : c.L, c.a, c.b}; };
    EXPECT_GT(OKLab::fromSRGB(Detail::denoise(c, ripple, flat, noise)).L, c.L + 0.002f);

    // Sharpening: d = 0.05 → cored 0.0025 / 0.066876, limited by 1 + d / 0.15, times gain 2.4.
    look.sharpenAmount = 150;
    const auto sharp = *Detail::sharpenParameters(look, 1);
    const OKLab::Lab grey{0.5f, 0, 0};
    auto softer = [](float, float) { return OKLab::Lab{0.45f, 0, 0}; };
    const float cored = 0.0025f / (0.05f + 0.016875f + 0.000001f);
    const float limited = cored / (1 + cored / 0.15f);
    EXPECT_NEAR(OKLab::fromSRGB(Detail::sharpen(grey, softer, sharp)).L, 0.5f + 2.4f * limited, 1e-4);
    auto same = [&](float, float) { return grey; };
    EXPECT_NEAR(OKLab::fromSRGB(Detail::sharpen(grey, same, sharp)).L, 0.5f, 1e-4);

    // With masking, a flat blur (no edge) keeps the pixel unsharpened.
    look.sharpenMasking = 50;
    const auto masked = *Detail::sharpenParameters(look, 1);
    EXPECT_NEAR(OKLab::fromSRGB(Detail::sharpen(grey, softer, masked)).L, 0.5f, 1e-4);
    // … and an edge in the blur lets it through.
    auto slope = [](float dx, float) { return OKLab::Lab{0.45f + 0.2f * dx, 0, 0}; };
    EXPECT_NEAR(OKLab::fromSRGB(Detail::sharpen(grey, slope, masked)).L, 0.5f + 2.4f * limited, 1e-4);
}

}  // namespace
