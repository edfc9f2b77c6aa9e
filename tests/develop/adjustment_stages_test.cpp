// Whole adjustment stages on small synthetic pictures (sRGB-encoded values,
// as every stage after the camera rendering sees them).

#include <cmath>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "engine/develop/apply.h"
#include "engine/develop/colormix.h"
#include "engine/develop/curves.h"
#include "engine/develop/detail.h"
#include "engine/develop/grain.h"
#include "engine/develop/monochrome.h"
#include "engine/imaging/colour/oklab.h"
#include "engine/develop/presence.h"
#include "engine/develop/stage_kernels.h"
#include "engine/develop/tonesliders.h"

namespace {

using Develop::Look;
using Imaging::Image;
using Imaging::Pixel;

constexpr float kAlpha = 0.75f;
constexpr int kWidth = 400;

// 400 × 32 (wide enough for the presence blurs, which scale with the long
// side, to differ): a left-to-right tone ramp, hues varying down the rows, fine
// checkerboard detail, and a constant alpha that every stage must carry.
Image testPicture() {
    Image image(Imaging::Rect{0, 0, kWidth, 32});
    for (int row = 0; row < 32; ++row)
        for (int col = 0; col < kWidth; ++col) {
            const float v = 0.1f + 0.8f * float(col) / (kWidth - 1);
            const float h = 6.2832f * float(row) / 32;
            const float s = 0.25f * float((row * 7) % 5) / 4;
            const float detail = ((row + col) % 2 ? 0.03f : -0.03f);
            auto channel = [&](float phase) { return std::clamp(v * (1 + s * std::cos(h + phase)) + detail, 0.0f, 1.0f); };
            image.at(col, row) = {channel(0), channel(2.094f), channel(4.189f), kAlpha};
        }
    return image;
}

Image uniform(float value, int width = 8, int height = 8) {
    return Image::filled(Imaging::Rect{0, 0, width, height}, Pixel{value, value, value, kAlpha});
}

struct Stats {
    double luma = 0;     // mean Rec. 709 luma
    double spread = 0;   // standard deviation of luma
    double chroma = 0;   // mean OKLab chroma
    double greyness = 0; // largest channel difference anywhere
    double detail = 0;   // mean luma difference between horizontal neighbours
};

Stats stats(const Image& image) {
    Stats s;
    double sum2 = 0;
    const int n = image.width() * image.height();
    for (int row = 0; row < image.height(); ++row)
        for (int col = 0; col < image.width(); ++col) {
            const Pixel& p = image.at(col, row);
            const double y = 0.2126 * p.r + 0.7152 * p.g + 0.0722 * p.b;
            s.luma += y;
            sum2 += y * y;
            s.chroma += OKLab::chroma(OKLab::fromSRGB({p.r, p.g, p.b}));
            if (col > 0) {
                const Pixel& q = image.at(col - 1, row);
                s.detail += std::fabs(y - (0.2126 * q.r + 0.7152 * q.g + 0.0722 * q.b));
            }
            s.greyness = std::max<double>(s.greyness, std::max({p.r, p.g, p.b}) - std::min({p.r, p.g, p.b}));
        }
    s.luma /= n;
    s.spread = std::sqrt(std::max(sum2 / n - s.luma * s.luma, 0.0));
    s.chroma /= n;
    s.detail /= n;
    return s;
}

using Stage = std::function<std::optional<Image>(const Look&, const Image&)>;

// Every stage, as the develop pipeline calls it (detail stages at full size).
const std::vector<std::pair<std::string, Stage>>& stages() {
    static const std::vector<std::pair<std::string, Stage>> all = {
        {"tone sliders", ToneSliders::filter},
        {"parametric curve", ParametricCurve::filter},
        {"point curves", [](const Look& l, const Image& i) { return Curves::filter(l, i); }},
        {"colour mix", ColorMix::filter},
        {"chroma sliders", ChromaSliders::filter},
        {"monochrome", Monochrome::filter},
        {"presence", Presence::filter},
        {"grain", Grain::filter},
        {"noise reduction", [](const Look& l, const Image& i) { return Detail::reduceNoise(l, i, 1.0); }},
        {"sharpening", [](const Look& l, const Image& i) { return Detail::sharpen(l, i, 1.0); }},
    };
    return all;
}

enum class Effect { Brighter, Darker, MoreContrast, LessContrast, MoreDetail, LessDetail, MoreChroma, LessChroma, Grey };

struct SliderCase {
    const char* name;
    std::function<void(Look&)> set;
    Effect effect;
};

Curves::Set master(Curves::Points points) {
    Curves::Set set;
    set.master = std::move(points);
    return set;
}

Monochrome::Mix greyMix(std::optional<double> Monochrome::Mix::*band, double value) {
    Monochrome::Mix mix;
    mix.*band = value;
    return mix;
}

ColorMix::Bands redBand(double hue, double saturation, double luminance) {
    ColorMix::Bands bands;
    bands.red = ColorMix::Band{hue, saturation, luminance};
    bands.orange = bands.red;
    bands.magenta = bands.red;
    return bands;
}

TEST(AdjustmentStages, EachSliderChangesTheRenderItsOwnWay) {
    const SliderCase cases[] = {
        {"highlights +100", [](Look& l) { l.highlights = 100; }, Effect::Brighter},
        {"highlights -100", [](Look& l) { l.highlights = -100; }, Effect::Darker},
        {"shadows +100", [](Look& l) { l.shadows = 100; }, Effect::Brighter},
        {"shadows -50", [](Look& l) { l.shadows = -50; }, Effect::Darker},
        {"whites +100", [](Look& l) { l.whites = 100; }, Effect::Brighter},
        {"whites -100", [](Look& l) { l.whites = -100; }, Effect::Darker},
        {"blacks +50", [](Look& l) { l.blacks = 50; }, Effect::Brighter},
        {"blacks -100", [](Look& l) { l.blacks = -100; }, Effect::Darker},
        {"contrast +100", [](Look& l) { l.contrast = 100; }, Effect::MoreContrast},
        {"contrast -100", [](Look& l) { l.contrast = -100; }, Effect::LessContrast},
        {"curveShadows +100", [](Look& l) { l.curveShadows = 100; }, Effect::Brighter},
        {"curveDarks -100", [](Look& l) { l.curveDarks = -100; }, Effect::Darker},
        {"curveLights +50", [](Look& l) { l.curveLights = 50; }, Effect::Brighter},
        {"curveHighlights -100", [](Look& l) { l.curveHighlights = -100; }, Effect::Darker},
        {"master curve lifted", [](Look& l) { l.curve = master({{0, 0}, {0.5, 0.7}, {1, 1}}); }, Effect::Brighter},
        {"S curve", [](Look& l) { l.curve = master({{0, 0}, {0.25, 0.15}, {0.75, 0.85}, {1, 1}}); },
         Effect::MoreContrast},
        {"reds desaturated", [](Look& l) { l.colorMix = redBand(0, -100, 0); }, Effect::LessChroma},
        {"reds darkened", [](Look& l) { l.colorMix = redBand(0, 0, -100); }, Effect::Darker},
        {"saturation +100", [](Look& l) { l.saturation = 100; }, Effect::MoreChroma},
        {"saturation -100", [](Look& l) { l.saturation = -100; }, Effect::Grey},
        {"vibrance +100", [](Look& l) { l.vibrance = 100; }, Effect::MoreChroma},
        {"vibrance -50", [](Look& l) { l.vibrance = -50; }, Effect::LessChroma},
        {"black and white", [](Look& l) { l.grayscale = 1; }, Effect::Grey},
        {"black and white, reds lightened",
         [](Look& l) {
             l.grayscale = 1;
             l.grayMix = greyMix(&Monochrome::Mix::red, 100);
             l.grayMix->magenta = 100;
         },
         Effect::Grey},
        {"dehaze +100", [](Look& l) { l.dehaze = 100; }, Effect::Darker},
        {"dehaze -100", [](Look& l) { l.dehaze = -100; }, Effect::LessContrast},
        {"texture +100", [](Look& l) { l.texture = 100; }, Effect::MoreDetail},
        {"texture -100", [](Look& l) { l.texture = -100; }, Effect::LessDetail},
        {"clarity +100", [](Look& l) { l.clarity = 100; }, Effect::MoreDetail},
        {"clarity -100", [](Look& l) { l.clarity = -100; }, Effect::LessDetail},
        {"noise luminance 100", [](Look& l) { l.noiseLuminance = 100; }, Effect::LessDetail},
        {"noise colour 100", [](Look& l) { l.noiseColor = 100; }, Effect::LessChroma},
        {"sharpen 150", [](Look& l) { l.sharpenAmount = 150; }, Effect::MoreDetail},
        {"sharpen 150 masked", [](Look& l) { l.sharpenAmount = 150; l.sharpenMasking = 10; }, Effect::MoreDetail},
    };
    const Image input = testPicture();
    const Stats before = stats(input);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Look look;
        c.set(look);
        int ran = 0;
        Image output = input;
        for (const auto& [name, stage] : stages()) {
            auto result = stage(look, output);
            if (!result) continue;
            ++ran;
            output = std::move(*result);
        }
        ASSERT_EQ(ran, 1) << "exactly one stage answers a single slider";
        ASSERT_EQ(output.extent(), input.extent());
        for (int row = 0; row < output.height(); ++row)
            for (int col = 0; col < output.width(); ++col) ASSERT_EQ(output.at(col, row).a, kAlpha);
        const Stats after = stats(output);
        switch (c.effect) {
            case Effect::Brighter: EXPECT_GT(after.luma, before.luma + 0.005); break;
            case Effect::Darker: EXPECT_LT(after.luma, before.luma - 0.005); break;
            case Effect::MoreContrast: EXPECT_GT(after.spread, before.spread * 1.01); break;
            case Effect::LessContrast: EXPECT_LT(after.spread, before.spread * 0.99); break;
            case Effect::MoreDetail: EXPECT_GT(after.detail, before.detail * 1.02); break;
            case Effect::LessDetail: EXPECT_LT(after.detail, before.detail * 0.98); break;
            case Effect::MoreChroma: EXPECT_GT(after.chroma, before.chroma * 1.05); break;
            case Effect::LessChroma: EXPECT_LT(after.chroma, before.chroma * 0.95); break;
            case Effect::Grey: EXPECT_LT(after.greyness, 1e-5); break;
        }
    }
}

TEST(AdjustmentStages, ZeroOrAbsentValuesRunNoStage) {
    std::vector<std::pair<const char*, Look>> looks;
    looks.emplace_back("empty look", Look{});
    Look zeros;
    for (auto field : {&Look::highlights, &Look::shadows, &Look::whites, &Look::blacks, &Look::contrast,
                       &Look::curveShadows, &Look::curveDarks, &Look::curveLights, &Look::curveHighlights,
                       &Look::saturation, &Look::vibrance, &Look::dehaze, &Look::texture, &Look::clarity,
                       &Look::grainAmount, &Look::noiseLuminance, &Look::noiseColor, &Look::sharpenAmount})
        zeros.*field = 0.0;
    zeros.curve = master({{0.5, 0.5}});  // one point, and two points of one x
    zeros.curve->red = Curves::Points{{0.2, 0.1}, {0.2, 0.9}};
    zeros.colorMix = redBand(0, 0, 0);
    zeros.grayMix = greyMix(&Monochrome::Mix::red, 100);  // without black and white
    zeros.grayscale = 0.4;
    zeros.sharpenRadius = 3;
    zeros.grainSize = 80;
    looks.emplace_back("every slider zero", zeros);
    Look negative;
    negative.grainAmount = -20;
    negative.sharpenAmount = -10;
    negative.noiseLuminance = -50;
    looks.emplace_back("negative amounts", negative);
    Look sharpenWithoutAmount;
    sharpenWithoutAmount.sharpenRadius = 2;
    sharpenWithoutAmount.sharpenDetail = 80;
    sharpenWithoutAmount.sharpenMasking = 40;
    looks.emplace_back("sharpening settings without amount", sharpenWithoutAmount);

    const Image input = testPicture();
    for (const auto& [label, look] : looks)
        for (const auto& [name, stage] : stages()) EXPECT_FALSE(stage(look, input)) << label << ": " << name;
}

// Single grey pixels through whole stages, against the numbers the
// adjustments are defined by.
TEST(AdjustmentStages, GreyLevelsLandWhereTheTablesPutThem) {
    struct Case {
        const char* name;
        std::function<void(Look&)> set;
        float input;
        float expected;
        float tolerance;
    };
    const Case cases[] = {
        {"blacks -100 at 0.05", [](Look& l) { l.blacks = -100; }, 0.05f, 0.001f, 0.003f},
        {"blacks -100 keeps black", [](Look& l) { l.blacks = -100; }, 0.0f, 0.0f, 1e-6f},
        {"curveShadows +100 at 0.20", [](Look& l) { l.curveShadows = 100; }, 0.2f, 0.317f, 0.003f},
        {"curveShadows +100 leaves 0.85", [](Look& l) { l.curveShadows = 100; }, 0.85f, 0.85f, 0.002f},
        {"highlights 400 as 100 at 0.5", [](Look& l) { l.highlights = 400; }, 0.5f, 0.547f, 0.003f},
        // Negative dehaze veils half way towards 0.92 × the air light (at least 0.5).
        {"dehaze -100", [](Look& l) { l.dehaze = -100; }, 0.3f, 0.3f + (0.46f - 0.3f) * 0.5f, 1e-5f},
        {"dehaze -100, bright", [](Look& l) { l.dehaze = -100; }, 0.8f, 0.8f + (0.736f - 0.8f) * 0.5f, 1e-5f},
        // A flat picture has no texture, clarity or sharpening to gain.
        {"clarity on flat grey", [](Look& l) { l.clarity = 100; }, 0.4f, 0.4f, 1e-5f},
        {"sharpening on flat grey", [](Look& l) { l.sharpenAmount = 150; }, 0.4f, 0.4f, 1e-4f},
        {"noise reduction on flat grey", [](Look& l) { l.noiseLuminance = 100; l.noiseColor = 100; }, 0.4f, 0.4f, 1e-4f},
        {"black and white keeps a grey", [](Look& l) { l.grayscale = 1; l.grayMix = greyMix(&Monochrome::Mix::blue, -100); }, 0.4f,
         0.4f, 1e-4f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Look look;
        c.set(look);
        Image image = uniform(c.input);
        for (const auto& [name, stage] : stages())
            if (auto result = stage(look, image)) image = std::move(*result);
        for (int row = 0; row < image.height(); ++row)
            for (int col = 0; col < image.width(); ++col) {
                const Pixel& p = image.at(col, row);
                ASSERT_NEAR(p.r, c.expected, c.tolerance);
                ASSERT_NEAR(p.g, c.expected, c.tolerance);
                ASSERT_NEAR(p.b, c.expected, c.tolerance);
            }
    }
}

TEST(AdjustmentStages, GrainIsFixedToPixelPositionsCountedFromTheBottomLeft) {
    Look look;
    look.grainAmount = 50;
    const Image input = uniform(0.5f, 1500, 6);  // long side 1500: one-pixel cells, amount 0.07
    const auto first = Grain::filter(look, input);
    const auto second = Grain::filter(look, input);
    ASSERT_TRUE(first && second);
    const auto p = Grain::parameters(look, 1500, 6);
    ASSERT_TRUE(p);
    EXPECT_FLOAT_EQ(p->cell, 1);
    EXPECT_NEAR(p->amount, 0.07, 1e-6);
    double spread = 0;
    for (int row = 0; row < 6; ++row)
        for (int col = 0; col < 1500; col += 37) {
            const Pixel& out = first->at(col, row);
            EXPECT_EQ(out.r, second->at(col, row).r);
            const float y = float(5 - row) + 0.5f;  // stored rows run top-down
            const Colour::RGB expected = Grain::apply({0.5f, 0.5f, 0.5f}, float(col) + 0.5f, y, *p);
            ASSERT_FLOAT_EQ(out.r, expected.r) << col << "," << row;
            EXPECT_EQ(out.a, kAlpha);
            spread = std::max(spread, std::fabs(out.r - 0.5));
        }
    EXPECT_GT(spread, 0.005);
}

TEST(AdjustmentStages, SaturationThenVibranceInThatOrder) {
    const Image input = testPicture();
    Look both;
    both.saturation = 50;
    both.vibrance = 50;
    Look saturation;
    saturation.saturation = 50;
    Look vibrance;
    vibrance.vibrance = 50;
    const auto chained = ChromaSliders::filter(both, input);
    const auto first = ChromaSliders::filter(saturation, input);
    ASSERT_TRUE(chained && first);
    const auto expected = ChromaSliders::filter(vibrance, *first);
    const auto afterVibrance = ChromaSliders::filter(vibrance, input);
    ASSERT_TRUE(expected && afterVibrance);
    const auto reversed = ChromaSliders::filter(saturation, *afterVibrance);
    ASSERT_TRUE(reversed);
    // The chain leaves out the trip to pixels and back between the sliders
    // (float rounding, far below an 8-bit step); the other order gives
    // visibly other colours.
    float fromExpected = 0, fromReversed = 0;
    for (int row = 0; row < input.height(); ++row)
        for (int col = 0; col < input.width(); ++col) {
            const Pixel p = chained->at(col, row), e = expected->at(col, row), r = reversed->at(col, row);
            fromExpected = std::max({fromExpected, std::fabs(p.r - e.r), std::fabs(p.g - e.g), std::fabs(p.b - e.b)});
            fromReversed = std::max({fromReversed, std::fabs(p.r - r.r), std::fabs(p.g - r.g), std::fabs(p.b - r.b)});
        }
    EXPECT_LE(fromExpected, 1e-5f);
    EXPECT_GE(fromReversed, 1e-3f);
}

TEST(AdjustmentStages, PipelineRunsTheStagesOnEncodedValues) {
    // A linear picture through the whole pipeline: zero sliders give the
    // picture back; black and white gives greys; the curve sees encoded values.
    Image linear = Imaging::sRGBToLinear(testPicture());
    Look zeros;
    zeros.contrast = 0;
    zeros.saturation = 0;
    zeros.sharpenAmount = 0;
    const Image same = Develop::apply(zeros, linear, {});
    for (int row = 0; row < linear.height(); ++row)
        for (int col = 0; col < linear.width(); ++col) ASSERT_NEAR(same.at(col, row).g, linear.at(col, row).g, 1e-5);

    Look mono;
    mono.grayscale = 1;
    mono.saturation = 100;  // ignored in black and white
    EXPECT_LT(stats(Develop::apply(mono, linear, {})).greyness, 1e-5);

    Look curve;
    curve.curve = master({{0, 0}, {0.5, 0.25}, {1, 1}});
    const Image grey = Develop::apply(curve, Imaging::sRGBToLinear(uniform(0.5f)), {});
    EXPECT_NEAR(Imaging::sRGBEncode(grey.at(0, 0).r), 0.25f, 0.003f);
}

}  // namespace

namespace {

TEST(AdjustmentStages, WidePresenceBlursStayCloseToTheExactGaussian) {
    // 400 × 300: tone waves of several sizes and one-pixel checker detail.
    const Image input = Imaging::generate(Imaging::Rect{0, 0, 400, 300}, [](int x, int y) {
        const float v = 0.5f + 0.2f * std::sin(x * 0.05f) * std::cos(y * 0.03f) + 0.15f * std::sin(x * 0.3f + y * 0.2f) +
                        ((x + y) % 2 ? 0.05f : -0.05f);
        return Pixel{v, v * 0.8f, 1 - v, kAlpha};
    });
    for (double fraction : {0.012, 0.015, 0.02, 0.05}) {
        SCOPED_TRACE(fraction);
        const Image fast = Develop::presenceBlur(input, fraction);
        const Image exact = Imaging::gaussianBlur(input, Presence::blurSigma(fraction, input.width(), input.height()));
        ASSERT_EQ(fast.extent(), exact.extent());
        double worst = 0, total = 0;
        for (int row = 0; row < input.height(); ++row)
            for (int col = 0; col < input.width(); ++col) {
                const double d = std::fabs(fast.at(col, row).g - exact.at(col, row).g);
                worst = std::max(worst, d);
                total += d;
                ASSERT_NEAR(fast.at(col, row).a, kAlpha, 1e-6);
            }
        // Close everywhere; the outermost half block, where the enlargement
        // holds the edge value, drifts most.
        EXPECT_LT(total / (input.width() * input.height()), 0.004);
        EXPECT_LT(worst, 0.06);
    }
}

}  // namespace
