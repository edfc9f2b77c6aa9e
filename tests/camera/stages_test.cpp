// The camera stages on pictures, and camera look matching of real files:
// a RAW file made from a real photograph (with the photograph as its
// embedded preview) and a plain JPEG.

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/camera/blue_violet.h"
#include "engine/camera/camera_look.h"
#include "engine/camera/camera_profile.h"
#include "engine/camera/camera_rendering.h"
#include "engine/camera/camera_tone.h"
#include "engine/develop/camera_match.h"
#include "engine/develop/render.h"
#include "engine/library/extraction.h"
#include "support/support.h"

using Imaging::Image;
using Imaging::Pixel;
namespace fs = std::filesystem;

namespace {

// A small picture of varied colours with alpha 0.5.
Image sampleImage() {
    Image image = Image::filled({0, 0, 8, 4}, {0, 0, 0, 0.5f});
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 8; ++col) image.at(col, row) = {col / 7.0f, row / 3.0f, (col + row) % 5 / 4.0f, 0.5f};
    return image;
}

// A picture through a row kernel that works in place.
template <class Kernel>
Image throughRows(const Image& in, Kernel&& kernel) {
    return Imaging::mapRows(Image(in), [&](const Pixel* from, Pixel* to, int count) {
        if (from != to) std::copy(from, from + count, to);
        kernel(to, count);
    });
}

void expectPixelNear(const Pixel& a, const Pixel& b, float tolerance) {
    EXPECT_NEAR(a.r, b.r, tolerance);
    EXPECT_NEAR(a.g, b.g, tolerance);
    EXPECT_NEAR(a.b, b.b, tolerance);
    EXPECT_EQ(a.a, b.a);
}

// A DNG made from a real photograph by the shared tool; nothing when the tool or photo is missing.
std::optional<fs::path> makeDNG(const TestSupport::TempDir& dir, const std::string& photo) {
    const auto fixtures = TestSupport::fixturesDir();
    if (!fixtures) return std::nullopt;
    const fs::path tool = *fixtures / ".." / "tools" / "make-dng";
    if (!fs::exists(tool)) return std::nullopt;
    const fs::path out = dir / "photo.dng";
    const auto result = TestSupport::run("/usr/bin/python3", {tool.string(), TestSupport::fixture(photo).string(),
                                                              out.string(), "--scale", "0.25"});
    if (result.status != 0 || !fs::exists(out)) return std::nullopt;
    return out;
}

}  // namespace

TEST(CameraStages, ProfileCube) {
    // A cube whose entries are their own grid values leaves colours in 0…1 as they are.
    const int n = 96;
    auto cube = std::make_shared<std::vector<float>>(std::size_t(n) * n * n * 4);
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                float* e = cube->data() + ((std::size_t(b) * n + g) * n + r) * 4;
                e[0] = r / 95.0f, e[1] = g / 95.0f, e[2] = b / 95.0f, e[3] = 1;
            }
    CameraProfile::Profile profile;
    profile.cube = cube;
    const Image in = sampleImage();
    const auto lookup = CameraProfile::cubeLookup(profile);
    ASSERT_TRUE(lookup);
    const Image out = throughRows(in, [&](Pixel* p, int n) { lookup->applyRow(p, p, n); });
    ASSERT_EQ(out.extent(), in.extent());
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 8; ++col) expectPixelNear(out.at(col, row), in.at(col, row), 1e-5f);

    profile.cube = std::make_shared<std::vector<float>>(16);  // wrong size
    EXPECT_FALSE(CameraProfile::cubeLookup(profile));
    profile.cube.reset();
    EXPECT_FALSE(CameraProfile::cubeLookup(profile));
}

TEST(CameraStages, LookCurvesBlueVioletAndTone) {
    const Image in = sampleImage();

    CameraLook::Match match;
    for (int c = 0; c < 3; ++c) {
        std::vector<float> curve(256);
        for (int i = 0; i < 256; ++i) curve[i] = 255.0f - float(i);  // inverts every channel
        match.curves.push_back(curve);
    }
    // Without a profile, on a rendered file (not extended): the look's curves only.
    const CameraRendering::Rows looked(std::nullopt, match, std::nullopt, false);
    const Image inverted = throughRows(in, [&](Pixel* p, int n) { looked.apply(p, n); });
    expectPixelNear(inverted.at(7, 0), {1 - in.at(7, 0).r, 1 - in.at(7, 0).g, 1 - in.at(7, 0).b, 0.5f}, 1e-5f);
    // A match that does not hold three curves, or none, leaves the picture as it is.
    match.curves.pop_back();
    EXPECT_FALSE(CameraLook::curveTables(match));
    for (const auto& unusable : {std::optional(match), std::optional<CameraLook::Match>()}) {
        const CameraRendering::Rows none(std::nullopt, unusable, std::nullopt, false);
        const Image same = throughRows(in, [&](Pixel* p, int n) { none.apply(p, n); });
        for (int row = 0; row < 4; ++row)
            for (int col = 0; col < 8; ++col) expectPixelNear(same.at(col, row), in.at(col, row), 0);
    }

    // A RAW decode without a profile or a match: the blue-violet correction only.
    const CameraRendering::Rows raw(std::nullopt, std::nullopt, std::nullopt, true);
    const Image corrected = throughRows(in, [&](Pixel* p, int n) { raw.apply(p, n); });
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 8; ++col) {
            const Pixel p = in.at(col, row), q = corrected.at(col, row);
            const auto expected = BlueViolet::correct({p.r, p.g, p.b});
            expectPixelNear(q, {expected.r, expected.g, expected.b, p.a}, 1e-4f);
        }

    EXPECT_FALSE(CameraTone::lightnessKnots(std::nullopt));
    EXPECT_FALSE(CameraTone::lightnessKnots(CameraTone::Match{std::vector<float>(5, 0.5f), 0}));
    // With a profile (no cube, no tone): the shoulder, which passes through its
    // points: white lands at 0.965, 0.8 and black stay.
    const CameraRendering::Rows profiled(CameraProfile::Profile{}, std::nullopt, std::nullopt, true);
    const Image shouldered =
        throughRows(Image::filled({0, 0, 2, 2}, {1, 0, 0.8f, 1}), [&](Pixel* p, int n) { profiled.apply(p, n); });
    expectPixelNear(shouldered.at(1, 1), {0.965f, 0, 0.8f, 1}, 1e-4f);
}

TEST(CameraLookMatching, RAWFileIsMatchedAndJPEGIsNot) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const auto dng = makeDNG(dir, "jpeg_camera/ianare_DSCN0010.jpg");
    if (!dng) GTEST_SKIP() << "make-dng is not available";
    const auto source = Extraction::open(*dng);
    ASSERT_TRUE(source && Extraction::preview(*source, CameraLook::sampleEdge, false, true));

    EXPECT_FALSE(CameraLook::match(*dng));
    Develop::prepareCameraLook(*dng);
    const auto match = CameraLook::match(*dng);
    ASSERT_TRUE(match);
    ASSERT_EQ(match->curves.size(), 3u);
    for (const auto& curve : match->curves) {
        ASSERT_EQ(curve.size(), 256u);
        for (int i = 1; i < 256; ++i) EXPECT_GE(curve[i], curve[i - 1] - 0.5f);
        for (float v : curve) EXPECT_TRUE(v >= 0 && v <= 255);
    }
    EXPECT_FALSE(CameraLook::knownMiss(*dng));

    // A JPEG is never matched: its decode is not extended.
    const fs::path jpeg = TestSupport::fixture("jpeg_camera/ianare_DSCN0010.jpg");
    Develop::prepareCameraLook(jpeg);
    EXPECT_FALSE(CameraLook::match(jpeg));
    EXPECT_TRUE(CameraLook::knownMiss(jpeg));

    // A file that cannot be opened is a miss too, and is not tried again.
    const fs::path missing = dir / "missing.dng";
    Develop::prepareCameraLook(missing);
    EXPECT_TRUE(CameraLook::knownMiss(missing));
    TestSupport::writeFile(missing, TestSupport::readFile(*dng));
    Develop::prepareCameraLook(missing);
    EXPECT_FALSE(CameraLook::match(missing));
}

// The match of a RAW file without a profile depends on the file alone: two
// copies of it, one rendered small then large and the other large then small,
// get the same curves and the same pictures, whichever render filled the
// match first. A real camera file, and a RAW file made from a photograph.
TEST(CameraLookMatching, MatchDoesNotDependOnWhichRenderComesFirst) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    std::vector<fs::path> raws;
    const fs::path crw = TestSupport::fixture("raw/complete/imagemeta_CanonEOSD30.crw");
    if (fs::exists(crw)) raws.push_back(crw);
    if (const auto dng = makeDNG(dir, "jpeg_camera/ianare_DSCN0010.jpg")) raws.push_back(*dng);
    if (raws.empty()) GTEST_SKIP() << "no RAW sample";

    const int small = 160, large = 1600;
    for (const fs::path& raw : raws) {
        SCOPED_TRACE(raw.filename().string());
        std::map<int, std::string> jpegs[2];
        std::optional<CameraLook::Match> matches[2];
        for (int order = 0; order < 2; ++order) {
            // A copy under its own name is a file the match cache has not seen.
            const fs::path copy = dir / ("order" + std::to_string(order) + raw.extension().string());
            fs::copy_file(raw, copy, fs::copy_options::overwrite_existing);
            ASSERT_FALSE(CameraLook::match(copy));
            for (const int edge : order == 0 ? std::vector{small, large} : std::vector{large, small}) {
                const fs::path out = dir / ("out" + std::to_string(order) + "-" + std::to_string(edge) + ".jpg");
                Develop::RenderRequest request;
                request.source = copy;
                request.dest = out;
                request.longEdge = edge;
                ASSERT_TRUE(Develop::renderToJPEG(request));
                jpegs[order][edge] = TestSupport::readFile(out);
            }
            matches[order] = CameraLook::match(copy);
            ASSERT_TRUE(matches[order]);
        }
        EXPECT_EQ(matches[0]->curves, matches[1]->curves);
        EXPECT_TRUE(jpegs[0][small] == jpegs[1][small]) << "the small renders differ";
        EXPECT_TRUE(jpegs[0][large] == jpegs[1][large]) << "the large renders differ";
    }
}
