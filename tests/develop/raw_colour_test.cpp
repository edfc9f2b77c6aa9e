// Developing camera RAW files true to the camera: the as-shot white balance
// and colour as DNG files describe them, cameras without an XYZ matrix,
// exposure that does not depend on the picture, and a decoder that keeps
// quiet.

#include <cmath>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/develop/decode.h"
#include "engine/develop/render.h"
#include "engine/develop/white_balance.h"
#include "develop/sample_raw.h"
#include "support/support.h"

using namespace Develop;

namespace {

const char* samplePhoto = "jpeg_camera/ianare_DSCN0010.jpg";  // 640 × 480

// The RAW fixtures LibRaw decodes (the other complete ones are formats it does not know).
const char* decodableRaws[] = {"raw/complete/imagemeta_CanonEOSD30.crw", "raw/complete/photoprism_canon_eos_6d.dng",
                               "raw/complete/rawpy_RAW_KODAK_DC50.KDC"};

Look lookWith(std::optional<double> temperature, std::optional<double> tint) {
    Look look;
    look.temperature = temperature;
    look.tint = tint;
    return look;
}

// CIELAB (D65) of a linear sRGB picture, alpha dropped.
cv::Mat labOf(const Imaging::Image& image) {
    cv::Mat rgb, lab;
    cv::cvtColor(image.mat(), rgb, cv::COLOR_RGBA2RGB);
    cv::cvtColor(rgb, lab, cv::COLOR_LRGB2Lab);
    return lab;
}

cv::Vec3d meanLab(const Imaging::Image& image, cv::Rect box) {
    const cv::Scalar m = cv::mean(labOf(image)(box));
    return {m[0], m[1], m[2]};
}

// A copy of the sample photo as a lossless PNG, its values times `gain`, with
// a square of one colour painted in (pixels of the 640 × 480 photo); the path
// of the file.
std::filesystem::path paintedPhoto(const TestSupport::TempDir& dir, const std::string& name, std::optional<cv::Rect> box,
                                   cv::Scalar colour, double gain = 1) {
    cv::Mat photo = cv::imread(TestSupport::fixture(samplePhoto).string(), cv::IMREAD_COLOR);
    photo.convertTo(photo, -1, gain);
    if (box) photo(*box).setTo(colour);
    const auto path = dir / name;
    cv::imwrite(path.string(), photo);
    return path;
}

// Mean green against red and blue, and red against blue, of a decode.
double greenness(const Imaging::Image& image) {
    const cv::Scalar m = cv::mean(image.mat());
    return m[1] / (m[0] + m[2]);
}
double warmth(const Imaging::Image& image) {
    const cv::Scalar m = cv::mean(image.mat());
    return m[0] / m[2];
}

}  // namespace

// A bright patch in one corner of the picture must not darken the rest: the
// white point is the file's white level, not the brightest pixel.
TEST(RawExposure, DoesNotDependOnThePicture) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    // A photo whose brightest parts stay well below the white level; the
    // white patch reaches above three quarters of it.
    const auto plain = paintedPhoto(dir, "plain.png", std::nullopt, {}, 0.8);
    const auto patched = paintedPhoto(dir, "patched.png", cv::Rect(320, 224, 32, 32), cv::Scalar(255, 255, 255), 0.8);
    REQUIRE_SAMPLE_DNG(a, plain.string(), 0.25);  // the patch becomes 8 × 8 raw pixels
    REQUIRE_SAMPLE_DNG(b, patched.string(), 0.25);
    const auto x = decode(*a, Look::neutral(), 0), y = decode(*b, Look::neutral(), 0);
    ASSERT_TRUE(x && y);
    ASSERT_EQ(x->image.extent(), y->image.extent());
    cv::Mat mask(x->image.height(), x->image.width(), CV_8U, cv::Scalar(255));
    mask(cv::Rect(80 - 6, 56 - 6, 8 + 12, 8 + 12)).setTo(0);  // the patch and what demosaicing spreads of it
    cv::Mat difference;
    cv::Mat la = labOf(x->image), lb = labOf(y->image);
    cv::Mat d = la - lb;
    d = d.mul(d);
    cv::Mat planes[3];
    cv::split(d, planes);
    cv::sqrt(planes[0] + planes[1] + planes[2], difference);
    EXPECT_LT(cv::mean(difference, mask)[0], 0.5) << "mean ΔE of the shared region";
    double top = 0;
    cv::minMaxLoc(y->image.mat().reshape(1), nullptr, &top);
    EXPECT_GT(top, 1.2) << "the white patch itself reaches toward sensor white (2.0)";
}

// DNG files whose scene light is known: the as-shot white balance is that
// light, and a grey card under it renders grey — with one colour matrix, with
// two (interpolated for the light), and with analog balance and calibration.
TEST(RawWhiteBalance, DNGAsShotWhiteIsTheSceneLight) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    // A mid-grey card, 40 × 40 raw pixels at the DNG's scale.
    const auto card = paintedPhoto(dir, "card.png", cv::Rect(240, 160, 160, 160), cv::Scalar(128, 128, 128));
    const cv::Rect cardCentre(70, 50, 20, 20);
    struct Variant {
        const char* name;
        std::vector<std::string> options;
    };
    const Variant variants[] = {
        {"one matrix", {}},
        {"two illuminants", {"--dual-illuminant"}},
        {"analog balance and calibration",
         {"--analog-balance", "2.16", "1", "1.41", "--calibration", "1.03", "1", "0.97", "--dual-illuminant"}},
    };
    for (const double kelvin : {2856.0, 3500.0, 4500.0, 6504.0, 8000.0})
        for (const auto& variant : variants) {
            SCOPED_TRACE(std::to_string(int(kelvin)) + " K, " + variant.name);
            auto options = variant.options;
            options.insert(options.end(), {"--temperature", std::to_string(kelvin)});
            REQUIRE_SAMPLE_DNG(dng, card.string(), 0.25, 1, options);
            const auto decoded = decode(*dng, Look::neutral(), 0);
            ASSERT_TRUE(decoded && decoded->cameraTemperature && decoded->cameraTint);
            EXPECT_NEAR(*decoded->cameraTemperature, kelvin, kelvin * 0.01);
            EXPECT_NEAR(*decoded->cameraTint, 0, 2);
            const cv::Vec3d grey = meanLab(decoded->image, cardCentre);
            EXPECT_NEAR(grey[1], 0, 2) << "a*";
            EXPECT_NEAR(grey[2], 0, 2) << "b*";
            // And through the whole render into a JPEG (at the far temperatures:
            // a render takes several times a decode).
            if (kelvin != 2856.0 && kelvin != 8000.0) continue;
            const auto jpeg = dir / "render.jpg";
            const auto rendered =
                renderToJPEG(RenderRequest{.source = *dng, .look = Look::neutral(), .dest = jpeg, .quality = 0.95});
            ASSERT_TRUE(rendered);
            EXPECT_EQ(rendered->cameraTemperature, decoded->cameraTemperature);
            cv::Mat pixels = cv::imread(jpeg.string(), cv::IMREAD_COLOR), lab;
            ASSERT_FALSE(pixels.empty());
            pixels.convertTo(pixels, CV_32F, 1 / 255.0);
            cv::cvtColor(pixels, lab, cv::COLOR_BGR2Lab);
            const cv::Scalar card = cv::mean(lab(cardCentre));
            EXPECT_NEAR(card[1], 0, 2) << "rendered a*";
            EXPECT_NEAR(card[2], 0, 2) << "rendered b*";
        }
}

// The look's temperature goes back into the camera's multipliers and matrix
// through the same chain: the grey card lit at 3500 K, developed for a white of
// 5000 K, shows the 3500 K light as a 5000 K-adapted eye sees it.
TEST(RawWhiteBalance, LookTemperatureUsesTheCameraChain) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const auto card = paintedPhoto(dir, "card.png", cv::Rect(240, 160, 160, 160), cv::Scalar(128, 128, 128));
    REQUIRE_SAMPLE_DNG(dng, card.string(), 0.25, 1,
                       {"--temperature", "3500", "--analog-balance", "2.16", "1", "1.41", "--calibration", "1.03", "1", "0.97"});
    const auto shot = decode(*dng, Look::neutral(), 0);
    ASSERT_TRUE(shot && shot->cameraTemperature && shot->cameraTint);
    const double offset = 5000 - *shot->cameraTemperature;
    const auto developed = decode(*dng, lookWith(offset, std::nullopt), 0);
    ASSERT_TRUE(developed);
    const cv::Scalar m = cv::mean(developed->image.mat()(cv::Rect(70, 50, 20, 20)));
    const auto seen = WhiteBalance::chromaticityOfXYZ(WhiteBalance::times(WhiteBalance::linearSRGBToXYZ, WhiteBalance::Vector3{m[0], m[1], m[2]}));
    const auto light = WhiteBalance::chromaticityOf({*shot->cameraTemperature, *shot->cameraTint});
    const auto expected = WhiteBalance::chromaticityOfXYZ(WhiteBalance::times(
        WhiteBalance::bradfordAdaptation(WhiteBalance::chromaticityOf({5000, *shot->cameraTint}), {0.3127, 0.3290}),
        WhiteBalance::xyzOf(light)));
    EXPECT_NEAR(seen.x, expected.x, 0.003);
    EXPECT_NEAR(seen.y, expected.y, 0.003);
    EXPECT_GT(seen.x, 0.3127 + 0.01) << "lit warmer than the white it is developed for, the card looks warm";
}

// A converter's DNG with analog balance, calibration, two colour matrices and
// forward matrices: daylight, not the 2238 K and −202 tint of its first
// colour matrix alone.
TEST(RawWhiteBalance, ConverterDNGReportsDaylight) {
    REQUIRE_FIXTURES();
    const auto decoded = decode(TestSupport::fixture("raw/complete/photoprism_canon_eos_6d.dng"), Look::neutral(), 400);
    ASSERT_TRUE(decoded && decoded->cameraTemperature && decoded->cameraTint);
    EXPECT_GT(*decoded->cameraTemperature, 5800);
    EXPECT_LT(*decoded->cameraTemperature, 6600);
    EXPECT_LT(std::fabs(*decoded->cameraTint), 15);
}

// A camera that balanced automatically and recorded no multipliers (the D30
// under Christmas-tree lights): as shot is the picture's grey-world balance,
// warm light, not the camera's daylight balance.
TEST(RawWhiteBalance, AutomaticCameraBalanceIsTheGreyWorld) {
    REQUIRE_FIXTURES();
    const auto decoded = decode(TestSupport::fixture("raw/complete/imagemeta_CanonEOSD30.crw"), Look::neutral(), 400);
    ASSERT_TRUE(decoded && decoded->cameraTemperature && decoded->cameraTint);
    EXPECT_GT(*decoded->cameraTemperature, 2000);
    EXPECT_LT(*decoded->cameraTemperature, 3500);
    const cv::Scalar m = cv::mean(decoded->image.mat());
    EXPECT_NEAR(m[0] / m[1], 1, 0.35) << "no strong cast left";
    EXPECT_NEAR(m[2] / m[1], 1, 0.35) << "no strong cast left";
}

// Every RAW fixture LibRaw decodes reports its as-shot white balance, and
// both sliders move the picture: tint monotonically over its whole range
// (held only where the neutral reaches its ±150 limit), temperature ±2000.
TEST(RawWhiteBalance, SlidersMoveEveryRawFixture) {
    REQUIRE_FIXTURES();
    for (const char* name : decodableRaws) {
        SCOPED_TRACE(name);
        const auto file = TestSupport::fixture(name);
        const auto shot = decode(file, Look::neutral(), 320);
        ASSERT_TRUE(shot && shot->extended);
        ASSERT_TRUE(shot->cameraTemperature && shot->cameraTint);
        EXPECT_LT(std::fabs(*shot->cameraTint), 150) << "an as-shot tint at the limit holds the slider";

        // Non-increasing greenness all the way; strictly so near the as-shot
        // tint (the far ends may be held where the neutral reaches ±150 or
        // leaves what the camera can see).
        double lastGreen = INFINITY;
        std::map<double, double> green;
        for (const double tint : {-150.0, -100.0, -50.0, -10.0, 1.0, 10.0, 30.0, 50.0, 100.0, 150.0}) {
            SCOPED_TRACE(tint);
            const auto decoded = decode(file, lookWith(std::nullopt, tint), 320);
            ASSERT_TRUE(decoded);
            green[tint] = greenness(decoded->image);
            EXPECT_LE(green[tint], lastGreen * (1 + 1e-6)) << "more tint, more magenta";
            lastGreen = green[tint];
        }
        EXPECT_GT(green[-10], green[1]);
        EXPECT_GT(green[1], green[10]);
        EXPECT_GT(green[-150], greenness(shot->image) * 1.1);
        EXPECT_LT(green[150], greenness(shot->image) / 1.1);
        const auto cooler = decode(file, lookWith(-2000.0, std::nullopt), 320);
        const auto warmer = decode(file, lookWith(2000.0, std::nullopt), 320);
        ASSERT_TRUE(cooler && warmer);
        EXPECT_LT(warmth(cooler->image), warmth(shot->image) * 0.97);
        EXPECT_GT(warmth(warmer->image), warmth(shot->image) * 1.03);
    }
}

// The decoder's own complaints about damaged files never reach standard
// error: previews, renders, faces, scans and probes of every RAW fixture.
TEST(RawDecoderMessages, NothingReachesStandardError) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    std::string input;
    int id = 0, files = 0;
    for (const char* folder : {"raw/complete", "raw/partial"}) {
        for (const auto& entry : std::filesystem::directory_iterator(TestSupport::fixture(folder))) {
            const std::string src = entry.path().string();
            const std::string out = (dir / ("out-" + std::to_string(id))).string();
            ++files;
            input += nlohmann::json{{"id", id++}, {"src", src}, {"out", out + "-p.jpg"}, {"max", 400}}.dump() + "\n";
            input += nlohmann::json{{"id", id++}, {"src", src}, {"out", out + "-d.jpg"}, {"max", 400}, {"develop", true}}.dump() + "\n";
            input += nlohmann::json{{"id", id++}, {"src", src}, {"out", out + "-w.jpg"}, {"max", 300}, {"develop", true},
                                    {"look", {{"temperature", 800}, {"tint", 20}}}, {"live", true}}
                         .dump() + "\n";
            input += nlohmann::json{{"id", id++}, {"src", src}, {"faces", true}}.dump() + "\n";
        }
    }
    ASSERT_GT(files, 8);
    const auto served = TestSupport::run(TestSupport::gelatin(), {"serve"}, input);
    EXPECT_EQ(served.status, 0);
    EXPECT_EQ(served.err, "");
    EXPECT_EQ(TestSupport::lines(served.out).size(), std::size_t(id));
    for (const char* folder : {"raw/complete", "raw/partial"}) {
        const auto scanned = TestSupport::run(TestSupport::gelatin(), {"scan", TestSupport::fixture(folder).string()});
        EXPECT_EQ(scanned.err, "") << folder;
        const auto probed = TestSupport::run(TestSupport::gelatin(), {"probe", TestSupport::fixture(folder).string()});
        EXPECT_EQ(TestSupport::lines(probed.err).size(), 1u) << "only the summary line: " << probed.err;
    }
}

// The camera model on its own: a forward matrix made from the colour matrix
// at its illuminant gives the same development there; every white's camera
// neutral develops to white; a white past the spectral locus is pulled back.
TEST(CameraColourModel, ForwardMatrixNeutralsAndReachableWhites) {
    using namespace WhiteBalance;
    const Matrix3 cm{{{0.8322, -0.3112, -0.1047}, {-0.6367, 1.4342, 0.2179}, {-0.0988, 0.1638, 0.6394}}};
    const Chromaticity d65{0.3127, 0.3290}, d50{0.3457, 0.3585};
    CameraColour plain;
    plain.illuminants.push_back({6504, cm, {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, std::nullopt});
    plain.analogBalance = {1.8, 1, 1.3};
    CameraColour forward = plain;
    // FM maps the reference camera's D65 neutral, balanced to (1, 1, 1), to D50 white (Y = 1).
    const Vector3 n65 = times(cm, xyzOf(d65));
    Matrix3 fm = times(bradfordAdaptation(d65, d50), times(inverse(cm), Matrix3{{{n65[0], 0, 0}, {0, n65[1], 0}, {0, 0, n65[2]}}}));
    const double y = times(fm, Vector3{1, 1, 1})[1];
    for (auto& row : fm)
        for (double& v : row) v /= y;
    forward.illuminants[0].forwardMatrix = fm;

    const Matrix3 a = cameraToLinearSRGB(plain, d65), b = cameraToLinearSRGB(forward, d65);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(a[r][c], b[r][c], 1e-6) << r << c;
    for (const CameraColour* camera : {&plain, &forward})
        for (const Neutral n : {Neutral{2500, 0}, Neutral{4000, 20}, Neutral{6500, -30}, Neutral{12000, 10}}) {
            const Chromaticity white = chromaticityOf(n);
            const Vector3 grey = times(cameraToLinearSRGB(*camera, white), cameraNeutralOf(*camera, white));
            for (double v : grey) EXPECT_NEAR(v, 1, 1e-9) << n.temperature;
            const Neutral back = neutralOf(whiteOf(*camera, cameraNeutralOf(*camera, white)));
            EXPECT_NEAR(back.temperature, n.temperature, n.temperature * 1e-3);
            EXPECT_NEAR(back.tint, n.tint, 0.1);
        }
    // 2500 K with a large green tint lies past the locus (x + y > 1): held back.
    const Chromaticity far = chromaticityOf({2500, 140});
    EXPECT_GT(far.x + far.y, 1.0);
    const Chromaticity held = reachableWhite(plain, {2500, 140}, 0);
    EXPECT_LT(held.x + held.y, 1.0);
    EXPECT_NEAR(neutralOf(held).temperature, 2500, 25);
    const Chromaticity near = reachableWhite(plain, {5000, 20}, 0);
    EXPECT_NEAR(near.x, chromaticityOf({5000, 20}).x, 1e-12) << "a reachable white is kept";
}
