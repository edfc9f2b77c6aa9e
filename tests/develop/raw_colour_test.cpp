// Developing camera RAW files true to the camera: the as-shot white balance
// and colour as DNG files describe them, cameras without an XYZ matrix,
// exposure that does not depend on the picture, and a decoder that keeps
// quiet.

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/develop/decode.h"
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
