// Multiscale skin smoothing: each kernel on generated pictures, the input
// checks, tiles against one piece, regions with and without their own
// strength, and smoothing a real face inside a mask made from its detected box.
#include <cmath>
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/image.h"
#include "engine/portrait/faces.h"
#include "engine/portrait/multiscale_skin.h"
#include "support/support.h"

namespace {

using Imaging::Image;
using Imaging::Pixel;
using Imaging::Rect;
using MultiscaleSkin::Failure;
namespace K = MultiscaleSkin::Kernels;

// A w × h picture of grey `base` with uniform noise of ± `noise` (seeded).
Image noisyGrey(int w, int h, float base, float noise, unsigned seed = 7) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> u(-noise, noise);
    Image out(Rect{0, 0, w, h});
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) {
            const float v = base + u(random);
            out.at(col, row) = {v, v * 0.9f, v * 0.8f, 1};
        }
    return out;
}

cv::Mat constantMask(int w, int h, float v) { return cv::Mat(h, w, CV_32F, cv::Scalar(v)); }

// Variance of the red channel over stored columns [c0, c1) and rows [r0, r1).
double redVariance(const Image& image, int c0, int c1, int r0, int r1) {
    double sum = 0, sum2 = 0;
    int n = 0;
    for (int row = r0; row < r1; ++row)
        for (int col = c0; col < c1; ++col) {
            const double v = image.at(col, row).r;
            sum += v;
            sum2 += v * v;
            ++n;
        }
    const double mean = sum / n;
    return sum2 / n - mean * mean;
}

float maxDifference(const Image& a, const Image& b) {
    float worst = 0;
    for (int row = 0; row < a.height(); ++row)
        for (int col = 0; col < a.width(); ++col) {
            const Pixel p = a.at(col, row), q = b.at(col, row);
            worst = std::max({worst, std::fabs(p.r - q.r), std::fabs(p.g - q.g), std::fabs(p.b - q.b)});
        }
    return worst;
}

Failure::Case failureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.which();
    }
    ADD_FAILURE() << "no failure";
    return Failure::Case::kernelUnavailable;
}

TEST(MultiscaleSkinKernels, SmoothBlursInsideTheMaskAndKeepsEdges) {
    const int w = 64, h = 48;
    // Left half dark noisy skin, right half bright: an edge far stronger than the range variance.
    Image split(Rect{0, 0, w, h});
    const Image noise = noisyGrey(w, h, 0.3f, 0.05f);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) split.at(col, row) = col < w / 2 ? noise.at(col, row) : Pixel{0.95f, 0.9f, 0.85f, 1};
    cv::Mat leftOnly = constantMask(w, h, 0);
    leftOnly.colRange(0, w / 2).setTo(1);

    struct Case {
        const char* name;
        Image source;
        cv::Mat mask;
        double step;
        std::function<void(const Image& in, const Image& out)> check;
    };
    const std::vector<Case> cases = {
        {"flat colour stays", Image::filled(Rect{0, 0, w, h}, {0.4f, 0.5f, 0.6f, 1}), constantMask(w, h, 1), 1.3,
         [](const Image& in, const Image& out) { EXPECT_LT(maxDifference(in, out), 1e-6f); }},
        {"zero mask leaves every pixel", noisyGrey(w, h, 0.5f, 0.05f), constantMask(w, h, 0), 1.0,
         [](const Image& in, const Image& out) { EXPECT_LT(maxDifference(in, out), 1e-6f); }},
        {"noise inside a full mask is reduced", noisyGrey(w, h, 0.5f, 0.05f), constantMask(w, h, 1), 1.0,
         [](const Image& in, const Image& out) {
             EXPECT_LT(redVariance(out, 8, 56, 8, 40), 0.2 * redVariance(in, 8, 56, 8, 40));
         }},
        {"mask above 1 counts as 1", noisyGrey(w, h, 0.5f, 0.05f), constantMask(w, h, 3), 1.0,
         [&](const Image& in, const Image& out) {
             EXPECT_LT(maxDifference(out, K::smooth(in, constantMask(w, h, 1), 1.0, 0.04)), 1e-6f);
         }},
        {"the strong edge and the unmasked side give no colour", split, leftOnly, 1.0,
         [&](const Image& in, const Image& out) {
             for (int row = 0; row < h; ++row) {
                 // the last masked column reads the bright side only through the
                 // range term (weight e^-(0.65²·3/0.04) ≈ 0) and the unmasked side not at all
                 EXPECT_LT(out.at(w / 2 - 1, row).r, 0.36f);
                 EXPECT_NEAR(out.at(w / 2 + 3, row).r, in.at(w / 2 + 3, row).r, 1e-6f);
             }
             EXPECT_LT(redVariance(out, 4, w / 2 - 4, 4, h - 4), 0.3 * redVariance(in, 4, w / 2 - 4, 4, h - 4));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Image out = K::smooth(c.source, c.mask, c.step, 0.04);
        ASSERT_EQ(out.extent(), c.source.extent());
        EXPECT_EQ(out.at(3, 3).a, 1.0f);
        c.check(c.source, out);
    }
}

TEST(MultiscaleSkinKernels, PerPixelFormulas) {
    const Pixel o{0.6f, 0.5f, 0.4f, 0.8f}, f{0.5f, 0.45f, 0.4f, 1}, m{0.4f, 0.4f, 0.4f, 1}, c{0.3f, 0.35f, 0.4f, 1};
    struct Case {
        const char* name;
        Pixel got, expected;
    };
    const std::vector<Case> cases = {
        // red: fine band 0.1, medium 0.1, broad 0.1
        {"texture 0, full mask", K::difference(o, f, m, c, 1, 0), {-0.2f, -0.05f - 0.035f - 0.015f, 0, 1}},
        {"texture 1 keeps the fine band", K::difference(o, f, m, c, 1, 1), {-0.1f, -0.035f - 0.015f, 0, 1}},
        {"half mask halves", K::difference(o, f, m, c, 0.5f, 0), {-0.1f, -0.05f, 0, 1}},
        {"mask clamped above", K::difference(o, f, m, c, 4, 0), {-0.2f, -0.1f, 0, 1}},
        {"mask clamped below", K::difference(o, f, m, c, -1, 0), {0, 0, 0, 1}},
        {"blend is unclamped, keeps alpha", K::blend(o, {1, -1, 0.5f, 1}, 0.7f), {1.3f, -0.2f, 0.75f, 0.8f}},
        {"scale keeps alpha", K::scale({0.2f, -0.4f, 0.1f, 1}, 0.5f), {0.1f, -0.2f, 0.05f, 1}},
        {"overlay at full coverage", K::maskOverlay(o, 1), {0.6f + 0.4f * 0.65f, 0.5f * 0.35f, 0.4f * 0.35f, 0.8f}},
        {"overlay at no coverage", K::maskOverlay(o, 0), o},
        {"overlay clamps coverage", K::maskOverlay(o, 2), K::maskOverlay(o, 1)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        EXPECT_NEAR(k.got.r, k.expected.r, 1e-6f);
        EXPECT_NEAR(k.got.g, k.expected.g, 1e-6f);
        EXPECT_NEAR(k.got.b, k.expected.b, 1e-6f);
        EXPECT_EQ(k.got.a, k.expected.a);
    }
    // The tap weight: the spatial term, the range term and the clamped mask.
    EXPECT_NEAR(K::smoothWeight(0.5f, 0.04f, 1.4426950f / 0.04f, 1), 0.5f * std::exp(-1.0f), 1e-6f);
    EXPECT_EQ(K::smoothWeight(1, 0, 1, 0), 0.0f);
    EXPECT_NEAR(K::smoothWeight(1, 0, 1, 7), 1.0f, 1e-6f);
}

TEST(MultiscaleSkin, InputChecks) {
    const Image photo = noisyGrey(64, 48, 0.5f, 0.02f);
    const cv::Mat mask = constantMask(64, 48, 1);
    using C = Failure::Case;
    struct Case {
        const char* name;
        std::function<void()> call;
    };
    const std::vector<Case> refused = {
        {"face width 31", [&] { MultiscaleSkin::prepare(photo, mask, 31, 0.5); }},
        {"face width wider than the photo", [&] { MultiscaleSkin::prepare(photo, mask, 65, 0.5); }},
        {"face width NaN", [&] { MultiscaleSkin::prepare(photo, mask, NAN, 0.5); }},
        {"texture above 1", [&] { MultiscaleSkin::prepare(photo, mask, 40, 1.01); }},
        {"texture below 0", [&] { MultiscaleSkin::prepare(photo, mask, 40, -0.01); }},
        {"mask of another size", [&] { MultiscaleSkin::prepare(photo, constantMask(64, 47, 1), 40, 0.5); }},
        {"offset photo", [&] { MultiscaleSkin::prepare(photo.movedTo(1, 0), mask, 40, 0.5); }},
        {"empty photo", [&] { MultiscaleSkin::prepare(Image(), cv::Mat(), 40, 0.5); }},
        {"tile edge 63", [&] { MultiscaleSkin::prepareTiled(photo, mask, 40, 0.5, 63); }},
        {"tile edge 1025", [&] { MultiscaleSkin::prepareTiled(photo, mask, 40, 0.5, 1025); }},
        {"region face width 31", [&] { MultiscaleSkin::prepareRegions(photo, {{mask, 31, {0, 0, 10, 10}, 0.5, {}}}); }},
        {"region strength 1.5", [&] { MultiscaleSkin::prepareRegions(photo, {{mask, 40, {0, 0, 10, 10}, 0.5, 1.5}}); }},
        {"region mask of another size",
         [&] { MultiscaleSkin::prepareRegions(photo, {{constantMask(10, 10, 1), 40, {0, 0, 10, 10}, 0.5, {}}}); }},
        {"amount above 1", [&] { MultiscaleSkin::prepare(photo, mask, 40, 0.5).image(1.01); }},
        {"amount negative", [&] { MultiscaleSkin::prepare(photo, mask, 40, 0.5).image(-0.01); }},
        {"amount NaN", [&] { MultiscaleSkin::prepare(photo, mask, 40, 0.5).image(NAN); }},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureOf(c.call), C::invalidInput);
    }
    try {
        MultiscaleSkin::prepare(photo, mask, 31, 0.5);
    } catch (const Failure& e) {
        EXPECT_STREQ(e.what(), "invalidInput");
    }
    EXPECT_STREQ(Failure(C::kernelUnavailable).what(), "kernelUnavailable");
    // 32 is the smallest face, and the photo's width the largest.
    EXPECT_NO_THROW(MultiscaleSkin::prepare(photo, mask, 32, 0.5));
    EXPECT_NO_THROW(MultiscaleSkin::prepare(photo, mask, 64, 0.5));

    // 10000 × 7000 is more than may be smoothed (the pixels are never read).
    const Image huge(Rect{0, 0, 10000, 7000});
    EXPECT_EQ(failureOf([&] { MultiscaleSkin::prepare(huge, cv::Mat(7000, 10000, CV_32F), 500, 0.5); }), C::invalidInput);
}

// True when every colour value of the picture is a half-float value.
bool allHalf(const Image& image, const Rect& area) {
    const Image part = Imaging::crop(image, area);
    const Image rounded = Imaging::fromHalf(Imaging::renderHalf(part), part.extent().x, part.extent().y);
    return maxDifference(part, rounded) == 0;
}

TEST(MultiscaleSkin, LargePhotosArePreparedInTiles) {
    // A small patch of mask in each photo: the correction is computed around it only.
    for (const auto& [w, h, tiled] : {std::tuple{5000, 4000, true}, std::tuple{4000, 4000, false}}) {
        SCOPED_TRACE(w * h);
        cv::Mat pixels(h, w, CV_32FC4);
        cv::theRNG().state = 5;
        cv::randu(pixels, cv::Scalar(0.45, 0.45, 0.45, 1), cv::Scalar(0.55, 0.55, 0.55, 1));
        const Image photo(pixels);
        cv::Mat mask = constantMask(w, h, 0);
        mask(cv::Rect(1000, 1000, 64, 64)).setTo(1);
        const MultiscaleSkin::Prepared p = MultiscaleSkin::prepare(photo, mask, 400, 0.2);
        const Rect patch = Rect::fromTopLeft(1000, 1000, 64, 64, h);
        EXPECT_GT(maxDifference(Imaging::crop(p.correction, patch), Image::filled(patch, {0, 0, 0, 1})), 0.01f);
        EXPECT_EQ(allHalf(p.correction, patch), tiled);
    }
}

TEST(MultiscaleSkin, TilesEqualOnePieceWithinHalfPrecision) {
    const int w = 700, h = 520;
    const Image photo = noisyGrey(w, h, 0.5f, 0.08f, 11);
    cv::Mat mask = constantMask(w, h, 0);
    cv::ellipse(mask, cv::Point(350, 260), cv::Size(300, 230), 0, 0, 360, cv::Scalar(1), -1);
    cv::GaussianBlur(mask, mask, cv::Size(0, 0), 8);
    const double faceWidth = 640;  // fine step 0.96: sub-pixel taps, halo 44
    const MultiscaleSkin::Prepared whole = MultiscaleSkin::prepare(photo, mask, faceWidth, 0.3);
    for (const int edge : {64, 200}) {
        SCOPED_TRACE(edge);
        const MultiscaleSkin::Prepared tiles = MultiscaleSkin::prepareTiled(photo, mask, faceWidth, 0.3, edge);
        // half-float keeps 11 significant bits; corrections are below 0.25 here
        EXPECT_LE(maxDifference(tiles.correction, whole.correction), 0.25f / 2048);
        EXPECT_EQ(tiles.correction.extent(), photo.extent());
    }
}

TEST(MultiscaleSkin, AmountsAndRegionStrengths) {
    const int w = 300, h = 200;
    const Image photo = noisyGrey(w, h, 0.5f, 0.08f, 3);
    // Two faces: the left one follows the amount, the right one has its own strength.
    cv::Mat left = constantMask(w, h, 0), right = constantMask(w, h, 0);
    left(cv::Rect(20, 40, 100, 120)).setTo(1);
    right(cv::Rect(180, 40, 100, 120)).setTo(1);
    const Rect leftBox = Rect::fromTopLeft(20, 40, 100, 120, h), rightBox = Rect::fromTopLeft(180, 40, 100, 120, h);
    const auto smoothed = [&](std::optional<double> strength, double amount) {
        return MultiscaleSkin::prepareRegions(photo, {{left, 100, leftBox, 0, {}}, {right, 100, rightBox, 0, strength}})
            .image(amount);
    };
    const auto leftVariance = [&](const Image& i) { return redVariance(i, 30, 110, 50, 150); };
    const auto rightVariance = [&](const Image& i) { return redVariance(i, 190, 270, 50, 150); };
    const double before = leftVariance(photo);

    // Amount 0 returns the photo; a mask of zero leaves it at every amount.
    EXPECT_EQ(maxDifference(MultiscaleSkin::prepare(photo, left, 100, 0).image(0), photo), 0);
    for (const double amount : {0.0, 0.5, 1.0})
        EXPECT_EQ(maxDifference(MultiscaleSkin::prepare(photo, constantMask(w, h, 0), 100, 0).image(amount), photo), 0);

    // Strength 0: that face stays as it is whatever the amount; the other follows the amount.
    const Image zero = smoothed(0.0, 1);
    EXPECT_EQ(maxDifference(Imaging::crop(zero, rightBox), Imaging::crop(photo, rightBox)), 0);
    EXPECT_LT(leftVariance(zero), 0.5 * before);
    EXPECT_FALSE(MultiscaleSkin::prepareRegions(photo, {{left, 100, leftBox, 0, {}}}).fixed.has_value());

    // Strength 1: the right face is smoothed at amount 0 already, the left not.
    const Image full = smoothed(1.0, 0);
    EXPECT_EQ(maxDifference(Imaging::crop(full, leftBox), Imaging::crop(photo, leftBox)), 0);
    EXPECT_LT(rightVariance(full), 0.5 * rightVariance(photo));

    // Outside every region nothing changes.
    const Rect gap = Rect::fromTopLeft(140, 0, 20, 200, h);
    EXPECT_EQ(maxDifference(Imaging::crop(smoothed(0.7, 1), gap), Imaging::crop(photo, gap)), 0);

    // A fixed amount overrides the requested one.
    MultiscaleSkin::Prepared p = MultiscaleSkin::prepare(photo, left, 100, 0);
    const Image atHalf = p.image(0.5);
    p.fixedAmount = 0.5;
    EXPECT_EQ(maxDifference(p.image(1), atHalf), 0);
}

TEST(FrequencySeparation, ShowMaskTintsTheSelectionRed) {
    const Image photo = Image::filled(Rect{0, 0, 4, 2}, {0.2f, 0.4f, 0.6f, 1});
    cv::Mat mask = constantMask(4, 2, 0);
    mask.at<float>(0, 1) = 1;  // stored row 0 = the top row
    const std::optional<Image> shown = FrequencySeparation::showMask(photo, mask);
    ASSERT_TRUE(shown);
    EXPECT_NEAR(shown->at(1, 0).r, 0.2f + 0.8f * 0.65f, 1e-6f);
    EXPECT_NEAR(shown->at(1, 0).g, 0.4f * 0.35f, 1e-6f);
    EXPECT_EQ(shown->at(0, 0).r, 0.2f);
    EXPECT_EQ(shown->at(1, 1).b, 0.6f);
    EXPECT_FALSE(FrequencySeparation::showMask(photo, constantMask(3, 2, 1)).has_value());
}

// Fine-band energy: the variance of the 4-neighbour Laplacian of the green
// channel over a stored pixel box.
double laplacianVariance(const Image& image, const cv::Rect& box) {
    double sum = 0, sum2 = 0;
    int n = 0;
    for (int row = box.y; row < box.y + box.height; ++row)
        for (int col = box.x; col < box.x + box.width; ++col) {
            const double l = 4 * image.at(col, row).g - image.at(col - 1, row).g - image.at(col + 1, row).g -
                             image.at(col, row - 1).g - image.at(col, row + 1).g;
            sum += l;
            sum2 += l * l;
            ++n;
        }
    return sum2 / n - (sum / n) * (sum / n);
}

TEST(MultiscaleSkinPortrait, SmoothsTheCheeksInsideTheFaceMaskOnly) {
    if (!TestSupport::fixturesDir()) GTEST_SKIP() << "shared fixtures not present";
    const PortraitFaces::Detection found =
        PortraitFaces::detect(TestSupport::fixture("portraits/webmorph_london030_eastasian_woman_smile.jpg"));
    ASSERT_FALSE(found.faces.empty());
    const PortraitFaces::Detected& face = found.faces.front();
    const Image photo = Imaging::fromBitmap(found.bitmap);
    const int w = photo.width(), h = photo.height();
    const double faceWidth = face.x2 - face.x1, faceHeight = face.y2 - face.y1;
    ASSERT_GT(faceWidth, 200);

    // The mask: an ellipse inside the face box, feathered.
    cv::Mat mask = constantMask(w, h, 0);
    const cv::Point centre(int((face.x1 + face.x2) / 2), int((face.y1 + face.y2) / 2));
    cv::ellipse(mask, centre, cv::Size(int(faceWidth * 0.42), int(faceHeight * 0.48)), 0, 0, 360, cv::Scalar(1), -1);
    cv::GaussianBlur(mask, mask, cv::Size(0, 0), faceWidth * 0.02);
    // The cheeks: below the eyes, beside the nose.
    const int cheekW = int(faceWidth * 0.14), cheekH = int(faceHeight * 0.12), cheekY = int(face.y1 + faceHeight * 0.55);
    const std::vector<cv::Rect> cheeks = {{int(face.x1 + faceWidth * 0.18), cheekY, cheekW, cheekH},
                                          {int(face.x2 - faceWidth * 0.18) - cheekW, cheekY, cheekW, cheekH}};
    for (const cv::Rect& cheek : cheeks) ASSERT_GT(cv::mean(mask(cheek))[0], 0.99);

    const MultiscaleSkin::Prepared smooth = MultiscaleSkin::prepare(photo, mask, faceWidth, 0);
    const MultiscaleSkin::Prepared textured = MultiscaleSkin::prepare(photo, mask, faceWidth, 1);
    const Image flat = smooth.image(1), kept = textured.image(1);
    // Texture 1 keeps the whole fine band (the picture less its finest masked
    // blur): what it keeps beyond texture 0 is that band.
    const Image fineBand = Imaging::combine(photo, K::smooth(photo, mask, MultiscaleSkin::fineStep(faceWidth), 0.04),
                                            [](const Pixel& a, const Pixel& b) {
                                                return Pixel{a.r - b.r, a.g - b.g, a.b - b.b, 1};
                                            });
    const Image keptBand = Imaging::combine(kept, flat, [](const Pixel& a, const Pixel& b) {
        return Pixel{a.r - b.r, a.g - b.g, a.b - b.b, 1};
    });
    for (const cv::Rect& cheek : cheeks) {
        const double before = laplacianVariance(photo, cheek);
        EXPECT_LT(laplacianVariance(flat, cheek), 0.5 * before);
        const auto variance = [&](const Image& i) {
            return redVariance(i, cheek.x, cheek.x + cheek.width, cheek.y, cheek.y + cheek.height);
        };
        EXPECT_NEAR(variance(keptBand), variance(fineBand), 0.05 * variance(fineBand));
        EXPECT_GT(variance(fineBand), 1e-6);
    }
    // Nothing changes where the mask is zero.
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col)
            if (mask.at<float>(row, col) == 0) {
                const Pixel a = flat.at(col, row), b = photo.at(col, row);
                ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b) << col << "," << row;
            }
    // The tiled preparation gives the same picture up to half-float precision.
    const Image tiled = MultiscaleSkin::prepareTiled(photo, mask, faceWidth, 0, 256).image(1);
    EXPECT_LE(maxDifference(tiled, flat), 1.0f / 1024);
}

}  // namespace
