// The adjustment stages evaluate their formulas in bulk (planes, tables,
// shared offsets, cheap transfer curves). These tests hold each stage to the
// direct evaluation of its per-pixel formula on small synthetic pictures.
//
// Tolerance: 1e-4 on sRGB-encoded output, a fortieth of an 8-bit step. The
// bulk paths differ from the direct ones only by float rounding, by the
// transfer-curve and cube-root approximations (a few 1e-7, see the OKLab
// test below) and by the tabulated range weight of the noise reduction
// (relative error below 2e-6 per weight); together they stay far below it.

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/develop/apply.h"
#include "engine/develop/colormix.h"
#include "engine/develop/curves.h"
#include "engine/develop/detail.h"
#include "engine/develop/grain.h"
#include "engine/develop/monochrome.h"
#include "engine/imaging/colour/oklab.h"
#include "engine/imaging/colour/oklab_rows.h"
#include "engine/develop/presence.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/planes.h"

namespace {

using Develop::Look;
using Imaging::Image;
using Imaging::Pixel;

constexpr double kTolerance = 1e-4;

// Noise on smooth colour ramps, a hard vertical edge and a bright line,
// values slightly outside 0…1 here and there, alpha varying.
Image noisyPicture(int width, int height, unsigned seed) {
    Image image(Imaging::Rect{3, -2, width, height});
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0, 0.05f);
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col) {
            const float v = col < width / 2 ? 0.15f + 0.3f * float(row) / float(height) : 0.8f;
            const float line = row == height / 3 ? 0.5f : 0;
            const float h = 6.2832f * float(col) / float(width);
            auto c = [&](float phase) { return v * (1 + 0.4f * std::cos(h + phase)) + line + noise(random); };
            image.at(col, row) = {c(0), c(2.094f), c(4.189f), 0.5f + 0.5f * float(col % 3) / 2};
        }
    return image;
}

double largestDifference(const Image& a, const Image& b) {
    EXPECT_EQ(a.extent(), b.extent());
    double worst = 0;
    for (int row = 0; row < a.height(); ++row)
        for (int col = 0; col < a.width(); ++col) {
            const Pixel& p = a.at(col, row);
            const Pixel& q = b.at(col, row);
            for (double d : {p.r - q.r, p.g - q.g, p.b - q.b, p.a - q.a}) worst = std::max(worst, std::fabs(d));
        }
    return worst;
}

// ---- the direct evaluations: every pixel through its formula, samples read
// one by one from whole OKLab pictures.

Image referenceNoise(const Look& look, const Image& image, double scale) {
    const Detail::NoiseParameters p = *Detail::noiseParameters(look, scale);
    const Image lab = Develop::toLab(image);
    const Image soft = p.softRadius > 0 ? Imaging::gaussianBlur(lab, p.softRadius) : lab;
    const Imaging::Rect& e = image.extent();
    return Imaging::generate(e, [&](int x, int y) {
        const int col = x - e.x, row = e.y + e.height - 1 - y;
        const float cx = float(x) + 0.5f, cy = float(y) + 0.5f;
        const auto fromLab = [&](float dx, float dy) { return Develop::labAt(lab, cx, cy, dx, dy); };
        const auto fromSoft = [&](float dx, float dy) { return Develop::labAt(soft, cx, cy, dx, dy); };
        return Develop::withAlpha(Detail::denoise(Develop::labOf(lab.at(col, row)), fromLab, fromSoft, p),
                                  image.at(col, row).a);
    });
}

Image referenceSharpen(const Look& look, const Image& image, double scale) {
    const Detail::SharpenParameters p = *Detail::sharpenParameters(look, scale);
    const Image lab = Develop::toLab(image);
    const Image blur = Imaging::gaussianBlur(lab, p.sigma);
    const Imaging::Rect& e = image.extent();
    return Imaging::generate(e, [&](int x, int y) {
        const int col = x - e.x, row = e.y + e.height - 1 - y;
        const float cx = float(x) + 0.5f, cy = float(y) + 0.5f;
        const auto fromBlur = [&](float dx, float dy) { return Develop::labAt(blur, cx, cy, dx, dy); };
        return Develop::withAlpha(Detail::sharpen(Develop::labOf(lab.at(col, row)), fromBlur, p), image.at(col, row).a);
    });
}

// Each channel's largest value over the picture.
Pixel largestValues(const Image& image) {
    Pixel m = image.at(0, 0);
    for (int row = 0; row < image.height(); ++row)
        for (int col = 0; col < image.width(); ++col) {
            const Pixel& p = image.at(col, row);
            m = {std::max(m.r, p.r), std::max(m.g, p.g), std::max(m.b, p.b), std::max(m.a, p.a)};
        }
    return m;
}

// Each pixel's smallest colour component in all three colour channels.
Image smallestComponent(const Image& image) {
    return Imaging::map(image, [](const Pixel& p) {
        const float m = std::min({p.r, p.g, p.b});
        return Pixel{m, m, m, p.a};
    });
}

Image referencePresence(const Look& look, const Image& image) {
    const Presence::Parameters p = *Presence::parameters(look);
    Image r = image;
    if (p.dehaze != 0) {
        const Pixel peak = largestValues(Develop::presenceBlur(image, Presence::airBlur));
        const Colour::RGB air = Develop::rgbOf(peak);
        const Image regional = Develop::presenceBlur(smallestComponent(image), Presence::regionalBlur);
        r = Imaging::combine(image, regional, [&](const Pixel& s, const Pixel& h) {
            return Develop::withAlpha(Presence::dehaze(Develop::rgbOf(s), h.r, air, p.dehaze), s.a);
        });
    }
    if (!p.wantsTexture() && !p.wantsClarity()) return r;
    const Image fine = p.wantsTexture() ? Develop::presenceBlur(r, Presence::fineBlur) : r;
    const Image mid = p.wantsTexture() ? Develop::presenceBlur(r, Presence::midBlur) : r;
    const Image wide = p.wantsClarity() ? Develop::presenceBlur(r, Presence::wideBlur) : r;
    Image out(r.extent());
    for (int row = 0; row < r.height(); ++row)
        for (int col = 0; col < r.width(); ++col) {
            const Pixel& s = r.at(col, row);
            out.at(col, row) = Develop::withAlpha(
                Presence::detail(Develop::rgbOf(s), Develop::rgbOf(fine.at(col, row)), Develop::rgbOf(mid.at(col, row)),
                                 Develop::rgbOf(wide.at(col, row)), p.texture, p.clarity),
                s.a);
        }
    return out;
}

Image referenceChroma(const Look& look, const Image& image) {
    const std::vector<ChromaSliders::Row> chain = ChromaSliders::rows(look);
    return Develop::mapColour(image, [&](Colour::RGB c) {
        for (const auto& row : chain) c = ChromaSliders::apply(c, row);
        return c;
    });
}

Image referenceCurves(const Look& look, const Image& image) {
    const Curves::Tables tables = *Curves::channelTables(*look.curve);
    return Develop::mapColour(image, [&](const Colour::RGB& c) { return Curves::apply(tables, c); });
}

Image referenceGrain(const Look& look, const Image& image) {
    const Grain::Parameters p = *Grain::parameters(look, image.width(), image.height());
    return Develop::mapColourAt(image, [&](const Colour::RGB& c, float x, float y) { return Grain::apply(c, x, y, p); });
}

Image referenceColourMix(const Look& look, const Image& image) {
    const ColorMix::Parameters p = *ColorMix::parameters(*look.colorMix);
    return Develop::mapColour(image, [&](const Colour::RGB& c) { return ColorMix::mix(c, p); });
}

Image referenceMonochrome(const Look& look, const Image& image) {
    const ColorMix::BandValues mix = Monochrome::values(look.grayMix);
    return Develop::mapColour(image, [&](const Colour::RGB& c) { return Monochrome::gray(c, mix); });
}

Look lookOf(const char* json) { return *Develop::decodeLook(nlohmann::json::parse(json)); }

struct Case {
    const char* name;
    const char* look;
    double scale;
    std::function<std::optional<Image>(const Look&, const Image&, double)> fast;
    std::function<Image(const Look&, const Image&, double)> reference;
};

const auto noise = [](const Look& l, const Image& i, double s) { return Detail::reduceNoise(l, i, s); };
const auto sharpen = [](const Look& l, const Image& i, double s) { return Detail::sharpen(l, i, s); };
const auto presence = [](const Look& l, const Image& i, double) { return Presence::filter(l, i); };
const auto chroma = [](const Look& l, const Image& i, double) { return ChromaSliders::filter(l, i); };

TEST(FastStages, MatchTheirPerPixelFormulas) {
    const Case cases[] = {
        // Noise reduction: whole-pixel, half-pixel and irregular sample steps,
        // each half alone and both together.
        {"luminance at full size", R"({"noiseLuminance": 100})", 1.0, noise, referenceNoise},
        {"luminance on a preview", R"({"noiseLuminance": 40})", 0.34, noise, referenceNoise},
        {"luminance, odd step", R"({"noiseLuminance": 70})", 0.77, noise, referenceNoise},
        {"colour at full size", R"({"noiseColor": 60})", 1.0, noise, referenceNoise},
        {"both on a preview", R"({"noiseLuminance": 40, "noiseColor": 50})", 0.34, noise, referenceNoise},
        {"both on a thumbnail", R"({"noiseLuminance": 90, "noiseColor": 100})", 0.02, noise, referenceNoise},
        // Sharpening: whole and fractional gradient reach, with and without the mask.
        {"sharpen", R"({"sharpenAmount": 90})", 1.0, sharpen, referenceSharpen},
        {"sharpen masked", R"({"sharpenAmount": 60, "sharpenRadius": 2.3, "sharpenMasking": 40})", 1.0, sharpen,
         referenceSharpen},
        {"sharpen masked, preview", R"({"sharpenAmount": 150, "sharpenMasking": 20, "sharpenDetail": 80})", 0.34, sharpen,
         referenceSharpen},
        // Presence: each part alone and all together.
        {"dehaze", R"({"dehaze": 60})", 1, presence, [](const Look& l, const Image& i, double) { return referencePresence(l, i); }},
        {"veil", R"({"dehaze": -40})", 1, presence, [](const Look& l, const Image& i, double) { return referencePresence(l, i); }},
        {"texture", R"({"texture": -50})", 1, presence, [](const Look& l, const Image& i, double) { return referencePresence(l, i); }},
        {"all presence", R"({"dehaze": 20, "texture": 30, "clarity": 25})", 1, presence,
         [](const Look& l, const Image& i, double) { return referencePresence(l, i); }},
        // Point curves (the tone sliders and the parametric curve use the same tables).
        {"point curves", R"({"curve": {"master": [[0, 0.05], [0.4, 0.3], [1, 0.9]], "green": [[0, 0], [0.5, 0.6], [1, 1]]}})", 1,
         [](const Look& l, const Image& i, double) { return Curves::filter(l, i); },
         [](const Look& l, const Image& i, double) { return referenceCurves(l, i); }},
        // Grain, fixed to positions (the picture's extent does not start at 0).
        {"grain", R"({"grainAmount": 80, "grainSize": 10, "grainRoughness": 90})", 1,
         [](const Look& l, const Image& i, double) { return Grain::filter(l, i); },
         [](const Look& l, const Image& i, double) { return referenceGrain(l, i); }},
        // Colour mix (greys keep their pixels) and black and white.
        {"colour mix", R"({"colorMix": {"red": {"hue": 40, "saturation": 60, "luminance": -30}, "blue": {"luminance": 50}}})", 1,
         [](const Look& l, const Image& i, double) { return ColorMix::filter(l, i); },
         [](const Look& l, const Image& i, double) { return referenceColourMix(l, i); }},
        {"black and white", R"({"grayscale": 1, "grayMix": {"red": 40, "blue": -60, "green": 20}})", 1,
         [](const Look& l, const Image& i, double) { return Monochrome::filter(l, i); },
         [](const Look& l, const Image& i, double) { return referenceMonochrome(l, i); }},
        // Saturation then vibrance.
        {"saturation and vibrance", R"({"saturation": 35, "vibrance": -60})", 1, chroma,
         [](const Look& l, const Image& i, double) { return referenceChroma(l, i); }},
    };
    for (const auto& [width, height] : {std::pair{37, 23}, std::pair{180, 61}}) {
        const Image picture = noisyPicture(width, height, unsigned(width));
        for (const Case& c : cases) {
            const Look look = lookOf(c.look);
            const std::optional<Image> fast = c.fast(look, picture, c.scale);
            ASSERT_TRUE(fast) << c.name;
            EXPECT_LE(largestDifference(*fast, c.reference(look, picture, c.scale)), kTolerance)
                << c.name << " on " << width << " x " << height;
        }
    }
}

TEST(FastStages, NoiseReductionMatchesItsFormulaAtAnyPictureSize) {
    // The stage works in bands of rows and strips of 512 columns: pictures
    // smaller than either, a picture wider than one strip whose height is no
    // multiple of a band, and one narrower than a vector of pixels.
    const std::pair<const char*, double> looks[] = {
        {R"({"noiseLuminance": 100})", 1.0},
        {R"({"noiseLuminance": 70})", 0.77},
        {R"({"noiseColor": 60})", 1.0},
        {R"({"noiseLuminance": 40, "noiseColor": 50})", 0.34},
        {R"({"noiseLuminance": 90, "noiseColor": 100})", 0.02},
    };
    for (const auto& [width, height] : {std::pair{1, 1}, std::pair{3, 2}, std::pair{2, 45}, std::pair{530, 71}}) {
        const Image picture = noisyPicture(width, height, unsigned(width + height));
        for (const auto& [json, scale] : looks) {
            const Look look = lookOf(json);
            const std::optional<Image> fast = Detail::reduceNoise(look, picture, scale);
            ASSERT_TRUE(fast) << json;
            EXPECT_LE(largestDifference(*fast, referenceNoise(look, picture, scale)), kTolerance)
                << json << " at scale " << scale << " on " << width << " x " << height;
        }
    }
}

TEST(FastStages, ColourMixAndGreyMixMatchThePixelFormulasOverTheColourCube) {
    // Every colour of a 33-step cube, through strong settings in both directions.
    Image cube(Imaging::Rect{0, 0, 33 * 33, 33});
    for (int r = 0; r < 33; ++r)
        for (int g = 0; g < 33; ++g)
            for (int b = 0; b < 33; ++b) cube.at(r * 33 + g, b) = {float(r) / 32, float(g) / 32, float(b) / 32, 1};
    const Look strong = lookOf(R"({"colorMix": {
        "red": {"hue": 100, "saturation": 100, "luminance": 100}, "orange": {"hue": -100, "saturation": -100},
        "yellow": {"luminance": -100}, "green": {"hue": 100, "saturation": 60}, "aqua": {"hue": -100, "luminance": 80},
        "blue": {"hue": 100, "saturation": 100, "luminance": -100}, "purple": {"hue": -100, "saturation": -40},
        "magenta": {"hue": 100, "luminance": 100}}})");
    EXPECT_LE(largestDifference(*ColorMix::filter(strong, cube), referenceColourMix(strong, cube)), kTolerance);

    const Look grey = lookOf(R"({"grayscale": 1, "grayMix": {"red": 100, "orange": -100, "yellow": 60, "green": -60,
                                  "aqua": 100, "blue": -100, "purple": 40, "magenta": -40}})");
    EXPECT_LE(largestDifference(*Monochrome::filter(grey, cube), referenceMonochrome(grey, cube)), kTolerance);
}

TEST(FastStages, ColourStagesAndSharpeningInOneTripMatchTheStagesInTurn) {
    // The develop pipeline runs colour mix, saturation and vibrance (and the
    // sharpening after them) in one trip to OKLab and back. (The trips it
    // leaves out move colours by float rounding; where saturation then clips
    // two channels, the third can move by a few 1e-5.) Cases: strong sliders
    // that push colours out of gamut; one band only, so that most colours
    // pass the mix untouched; the mix alone (greys keep their pixels) and
    // vibrance alone before sharpening.
    const char* looks[] = {
        R"({"colorMix": {"red": {"hue": 60, "saturation": 80, "luminance": -40}, "blue": {"saturation": 90, "luminance": 60},
            "green": {"hue": -100, "saturation": -50}}, "saturation": 70, "vibrance": 80})",
        R"({"colorMix": {"aqua": {"luminance": 30}}, "saturation": -40, "vibrance": 100, "sharpenAmount": 80})",
        R"({"colorMix": {"red": {"hue": -30}, "orange": {"saturation": 50}}, "sharpenAmount": 120, "sharpenMasking": 30})",
        R"({"vibrance": -70, "sharpenAmount": 60, "sharpenRadius": 2.1})",
    };
    Image cube(Imaging::Rect{0, 0, 17 * 17, 17});
    for (int r = 0; r < 17; ++r)
        for (int g = 0; g < 17; ++g)
            for (int b = 0; b < 17; ++b) cube.at(r * 17 + g, b) = {float(r) / 16, float(g) / 16, float(b) / 16, 0.5f};
    Develop::ApplyOptions options;
    options.displayEncoded = true;
    for (const Image& encoded : {cube, noisyPicture(180, 61, 5)}) {
        const Image linear = Imaging::sRGBToLinear(encoded);
        for (const char* json : looks) {
            const Look look = lookOf(json);
            Image inTurn = Develop::apply(Look{}, linear, options);
            for (const auto& stage : {std::function(ColorMix::filter), std::function(ChromaSliders::filter),
                                      std::function([](const Look& l, const Image& i) { return Detail::sharpen(l, i, 1.0); })})
                if (auto out = stage(look, inTurn)) inTurn = *out;
            EXPECT_LE(largestDifference(Develop::apply(look, linear, options), inTurn), kTolerance) << json;
        }
    }
}

TEST(FastStages, KeptGrainFollowsThePictureAndTheSettings) {
    // The stage keeps the last grain field; pictures of other extents and
    // other grain settings, one after the other and from two threads at
    // once, must each get their own grain.
    const Image wide = noisyPicture(180, 61, 1), moved = wide.movedTo(40, 9), tall = noisyPicture(37, 90, 2);
    const Look fine = lookOf(R"({"grainAmount": 60, "grainSize": 10})");
    const Look rough = lookOf(R"({"grainAmount": 60, "grainSize": 10, "grainRoughness": 80})");
    const std::vector<std::pair<const Image*, const Look*>> order = {
        {&wide, &fine}, {&wide, &fine}, {&moved, &fine}, {&wide, &rough}, {&tall, &rough}, {&wide, &fine}};
    const auto check = [&order](int rounds) {
        for (int round = 0; round < rounds; ++round)
            for (const auto& [image, look] : order) {
                const Image kept = *Grain::filter(*look, *image);
                ASSERT_LE(largestDifference(kept, referenceGrain(*look, *image)), kTolerance) << "round " << round;
            }
    };
    check(1);
    std::thread other(check, 3);
    check(3);
    other.join();
}

TEST(FastStages, RowConversionsMatchThePixelOnes) {
    // A grid over and beyond 0…1, plus values that are not finite.
    std::vector<Pixel> pixels;
    for (int r = -2; r <= 12; ++r)
        for (int g = -2; g <= 12; ++g)
            for (int b = -2; b <= 12; ++b) pixels.push_back({float(r) / 10, float(g) / 10.3f, float(b) / 9.7f, float(r + g) / 20});
    pixels.push_back({NAN, 0.5f, 0.5f, 1});
    pixels.push_back({INFINITY, 0.2f, 0, 1});
    pixels.push_back({0, 0, 0, 0});
    const int n = int(pixels.size());
    std::vector<float> L(pixels.size()), a(pixels.size()), b(pixels.size());
    OKLab::fromSRGBRow(pixels.data(), L.data(), a.data(), b.data(), n);
    std::vector<Pixel> back(pixels.size());
    OKLab::screenRow(L.data(), a.data(), b.data(), pixels.data(), back.data(), n);
    const auto same = [](float x, float y) { return (std::isnan(x) && std::isnan(y)) || x == y || std::fabs(x - y) <= 2e-6f; };
    for (int i = 0; i < n; ++i) {
        const Pixel& p = pixels[std::size_t(i)];
        const OKLab::Lab lab = OKLab::fromSRGB({p.r, p.g, p.b});
        EXPECT_TRUE(same(L[std::size_t(i)], lab.L) && same(a[std::size_t(i)], lab.a) && same(b[std::size_t(i)], lab.b))
            << "pixel " << i << ": " << L[std::size_t(i)] << " vs " << lab.L;
        const Colour::RGB c = OKLab::screen(lab);
        const Pixel& q = back[std::size_t(i)];
        EXPECT_TRUE(same(q.r, c.r) && same(q.g, c.g) && same(q.b, c.b) && q.a == p.a) << "pixel " << i;
    }
}

TEST(FastStages, SettlingLeavesColoursAsATripToPixelsAndBackWould) {
    // OKLab values inside the gamut, beyond it on every side, and not finite.
    std::vector<float> L, a, b;
    for (int l = -1; l <= 12; ++l)
        for (int i = -8; i <= 8; ++i)
            for (int j = -8; j <= 8; ++j) {
                L.push_back(float(l) / 10);
                a.push_back(float(i) / 20);
                b.push_back(float(j) / 20);
            }
    for (float odd : {NAN, INFINITY, -INFINITY, 1e30f}) {
        L.push_back(0.5f);
        a.push_back(odd);
        b.push_back(0.01f);
    }
    const std::vector<float> L0 = L, a0 = a, b0 = b;
    OKLab::settleRow(L.data(), a.data(), b.data(), int(L.size()));
    const auto same = [](float x, float y) { return (std::isnan(x) && std::isnan(y)) || std::fabs(x - y) <= 1e-5f; };
    int moved = 0;
    for (std::size_t i = 0; i < L.size(); ++i) {
        const OKLab::Lab trip = OKLab::fromSRGB(OKLab::screen({L0[i], a0[i], b0[i]}));
        EXPECT_TRUE(same(L[i], trip.L) && same(a[i], trip.a) && same(b[i], trip.b))
            << "(" << L0[i] << ", " << a0[i] << ", " << b0[i] << "): " << L[i] << " vs " << trip.L;
        moved += L[i] != L0[i] || a[i] != a0[i] || b[i] != b0[i];
    }
    EXPECT_GT(moved, int(L.size()) / 2);  // most of the grid lies outside the gamut
}

TEST(FastStages, PlaneBlursInBandsGiveTheWholePlaneBlur) {
    // Heights below, at and across the band height, small and wide kernels;
    // each plane also sits inside a larger one whose other pixels are junk.
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-0.2f, 1.2f);
    for (const auto& [width, height, sigma] : {std::tuple{37, 5, 0.8}, std::tuple{130, 64, 1.7}, std::tuple{91, 200, 0.34},
                                               std::tuple{64, 301, 3.9}, std::tuple{3, 150, 12.0}}) {
        cv::Mat larger(height + 10, width + 8, CV_32F);
        for (auto it = larger.begin<float>(); it != larger.end<float>(); ++it) *it = value(random);
        const cv::Mat plane = larger(cv::Rect(4, 5, width, height));
        cv::Mat whole;
        const int radius = std::max(1, int(std::ceil(3 * sigma)));
        cv::GaussianBlur(plane, whole, cv::Size(2 * radius + 1, 2 * radius + 1), sigma, sigma,
                         cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
        const cv::Mat banded = Imaging::blurPlane(plane, sigma);
        EXPECT_EQ(cv::norm(whole, banded, cv::NORM_INF), 0) << width << " x " << height << ", sigma " << sigma;
    }
}

TEST(FastStages, WidePresenceBlursKeepRampsInPlace) {
    // A Gaussian leaves a linear ramp as it is; so must the shrunk and
    // enlarged blur, away from the edges, on planes that are not whole
    // blocks (702 x 231 and 231 x 702), in one channel and in four.
    for (const auto& [width, height] : {std::pair{702, 231}, std::pair{231, 702}}) {
        for (const int channels : {1, 4}) {
            cv::Mat plane(height, width, CV_32FC(channels));
            for (int row = 0; row < height; ++row)
                for (int col = 0; col < width; ++col)
                    for (int c = 0; c < channels; ++c)
                        plane.ptr<float>(row)[col * channels + c] = 0.001f * float(col) - 0.0007f * float(row) + 0.1f * float(c);
            for (const double fraction : {Presence::wideBlur, Presence::airBlur}) {
                const cv::Mat blurred = Develop::presenceBlur(plane, fraction);
                ASSERT_EQ(blurred.size(), plane.size());
                const int margin = int(4 * Presence::blurSigma(fraction, width, height));
                double worst = 0;
                for (int row = margin; row < height - margin; ++row)
                    for (int col = margin * channels; col < (width - margin) * channels; ++col)
                        worst = std::max(worst, double(std::fabs(blurred.ptr<float>(row)[col] - plane.ptr<float>(row)[col])));
                EXPECT_LE(worst, 1e-5) << width << " x " << height << ", " << channels << " channels, fraction " << fraction;
            }
        }
    }
}

TEST(FastStages, TransferCurvesCubeRootAndBandWeightsStayExact) {
    double decode = 0, encode = 0, root = 0, bands = 0;
    for (int i = -2000; i <= 120000; ++i) {
        const float v = float(i) / 100000;
        const double exactDecode = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        decode = std::max(decode, std::fabs(OKLab::linear(v) - exactDecode));
        const double c = std::clamp(double(v), 0.0, 1.0);
        const double exactEncode = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
        encode = std::max(encode, std::fabs(OKLab::encode(v) - exactEncode));
        const float w = float(i) / 3000;  // −0.67 … 40
        root = std::max(root, std::fabs(OKLab::cubeRoot(w) - std::cbrt(double(w))) / std::max(1.0, std::fabs(std::cbrt(double(w)))));
    }
    for (int i = 0; i <= 360000; ++i) {
        const float h = float(i) / 1000;
        const auto w = ColorMix::bandWeights(h);
        const float ramps[8][4] = {{-10, 9, 19, 40},    {19, 40, 56, 85},   {56, 85, 104, 130},  {104, 130, 149, 171},
                                   {149, 171, 186, 225}, {186, 225, 260, 314}, {260, 314, 329, 345}, {329, 345, 350, 369}};
        for (int band = 0; band < 8; ++band)
            bands = std::max(bands, double(std::fabs(w[band] - ColorMix::weight(h, ramps[band][0], ramps[band][1],
                                                                                  ramps[band][2], ramps[band][3]))));
    }
    // A few float steps at 1.0 (one is 1.2e-7), far below an 8-bit step (3.9e-3).
    EXPECT_LE(decode, 4e-7);
    EXPECT_LE(encode, 1e-6);
    EXPECT_LE(root, 3e-7);
    EXPECT_LE(bands, 1e-5);
    EXPECT_EQ(OKLab::cubeRoot(0), 0);
    EXPECT_FLOAT_EQ(OKLab::cubeRoot(-8), -2);
    EXPECT_TRUE(std::isnan(OKLab::encode(NAN)));
}

}  // namespace

namespace {

TEST(FastStages, ScratchPlanesAreReusedOnlyOnceReleased) {
    // Planes of picture size (the pool keeps blocks of a megabyte and more).
    constexpr int rows = 600, cols = 512;
    const void* first = nullptr;
    {
        cv::Mat a = Imaging::scratchPlane(rows, cols, CV_32F);
        const cv::Mat b = Imaging::scratchPlane(rows, cols, CV_32F);
        EXPECT_NE(a.data, b.data);  // both held: two planes
        first = a.data;
        a.setTo(1.0f);
    }
    const cv::Mat c = Imaging::scratchPlane(rows, cols, CV_32F);
    const cv::Mat d = Imaging::scratchPlane(rows, cols, CV_32F);
    EXPECT_TRUE(c.data == first || d.data == first);  // released planes come back
    EXPECT_NE(c.data, d.data);
    EXPECT_EQ(Imaging::scratchPlane(5, 7, CV_32FC3).type(), CV_32FC3);
}

}  // namespace
