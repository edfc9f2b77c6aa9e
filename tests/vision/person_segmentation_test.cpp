// Person segmentation: the graph executor against the numpy reference
// interpreter, the mask against background keys of studio portraits, and a
// missing or broken model.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/vision/faces.h"
#include "engine/vision/person_segmentation.h"
#include "face_pictures.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;

bool haveModel() { return PersonSegmentation::locate().has_value(); }

// The float32 values of a .npy file (any shape).
std::vector<float> readNpy(const fs::path& file) {
    const std::string bytes = TestSupport::readFile(file);
    if (bytes.size() < 10 || bytes.compare(0, 6, "\x93NUMPY") != 0) throw std::runtime_error("not a .npy file");
    const int major = static_cast<unsigned char>(bytes[6]);
    std::size_t headerLength, start;
    if (major == 1) {
        headerLength = static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
        start = 10;
    } else {
        headerLength = 0;
        for (int i = 0; i < 4; ++i) headerLength |= std::size_t(static_cast<unsigned char>(bytes[8 + i])) << (8 * i);
        start = 12;
    }
    const std::string header = bytes.substr(start, headerLength);
    if (header.find("'<f4'") == std::string::npos || header.find("'fortran_order': False") == std::string::npos)
        throw std::runtime_error("not a C-ordered float32 array");
    const std::size_t offset = start + headerLength, count = (bytes.size() - offset) / 4;
    std::vector<float> values(count);
    std::memcpy(values.data(), bytes.data() + offset, count * 4);
    return values;
}

// The reference interpreter's input: the picture stretched by area averaging,
// RGB / 255, exactly as tfjs-reference prepares it.
std::vector<float> referenceInput(const cv::Mat& bgr) {
    return PersonSegmentation::inputFrom(FacePictures::bitmap(bgr));
}

// A person mask of a studio portrait on a plain grey background: the
// background is what a flood fill from the upper border reaches through
// small colour steps (it follows the backdrop's gradient and stops at the
// person's outline), cleaned by an opening and a closing. Rows below
// `rows` are left out: there a white shirt meets the light backdrop without
// an edge a key can find.
cv::Mat backgroundKey(const cv::Mat& bgr) {
    cv::Mat smooth;
    cv::GaussianBlur(bgr, smooth, cv::Size(5, 5), 0);
    const int w = bgr.cols, h = bgr.rows;
    cv::Mat fill = cv::Mat::zeros(h + 2, w + 2, CV_8U);
    for (const cv::Point seed : {cv::Point(0, 0), cv::Point(w - 1, 0), cv::Point(0, h / 3), cv::Point(w - 1, h / 3),
                                 cv::Point(w / 2, 0)})
        cv::floodFill(smooth, fill, seed, cv::Scalar(), nullptr, cv::Scalar::all(3), cv::Scalar::all(3),
                      cv::FLOODFILL_MASK_ONLY | (255 << 8) | 8);
    cv::Mat background = fill(cv::Rect(1, 1, w, h)).clone();
    cv::morphologyEx(background, background, cv::MORPH_OPEN, cv::Mat::ones(5, 5, CV_8U));
    cv::morphologyEx(background, background, cv::MORPH_CLOSE, cv::Mat::ones(5, 5, CV_8U));
    cv::Mat person;
    cv::bitwise_not(background, person);
    return person;
}

}  // namespace

TEST(PersonSegmentation, MatchesTheReferenceInterpreter) {
    if (!TestSupport::fixturesDir()) GTEST_SKIP() << "no shared fixtures";
    ASSERT_TRUE(haveModel()) << "the person segmentation model is missing (scripts/fetch-selfie)";
    const fs::path tool = *TestSupport::fixturesDir() / ".." / "tools" / "tfjs-reference";
    if (!fs::exists(tool)) GTEST_SKIP() << "no reference interpreter";
    for (const char* name : {"portraits/webmorph_london008_westasian_man_smile.jpg", "portraits/singnet_laos_two_girls.jpg"}) {
        SCOPED_TRACE(name);
        TestSupport::TempDir dir;
        const fs::path out = dir.path() / "reference";
        const auto result = TestSupport::run("/usr/bin/python3", {tool.string(), PersonSegmentation::locate()->string(),
                                                                  TestSupport::fixture(name).string(), out.string()});
        ASSERT_EQ(result.status, 0) << result.err;
        const std::vector<float> expected = readNpy(out.string() + "-0.npy");
        const std::vector<float> actual =
            PersonSegmentation::probabilities(referenceInput(FacePictures::load(name)));
        ASSERT_EQ(expected.size(), actual.size());
        double worst = 0;
        for (std::size_t i = 0; i < actual.size(); ++i) worst = std::max(worst, double(std::abs(actual[i] - expected[i])));
        EXPECT_LT(worst, 2e-4);
    }
}

TEST(PersonSegmentation, AgreesWithTheBackgroundKeyOfStudioPortraits) {
    if (!TestSupport::fixturesDir()) GTEST_SKIP() << "no shared fixtures";
    ASSERT_TRUE(haveModel()) << "the person segmentation model is missing (scripts/fetch-selfie)";
    for (const char* name : {"portraits/webmorph_london008_westasian_man_smile.jpg",
                             "portraits/webmorph_london030_eastasian_woman_smile.jpg"}) {
        SCOPED_TRACE(name);
        const cv::Mat bgr = FacePictures::load(name);
        const Imaging::Bitmap mask = PersonSegmentation::segment(FacePictures::bitmap(bgr));
        ASSERT_EQ(mask.width, 256);
        ASSERT_EQ(mask.height, 256);
        // The 256 x 256 mask stretched back over the picture, bilinearly.
        cv::Mat small(256, 256, CV_8U, const_cast<std::uint8_t*>(mask.pixels.data())), big;
        cv::resize(small, big, bgr.size(), 0, 0, cv::INTER_LINEAR);
        const cv::Mat key = backgroundKey(bgr);
        const int rows = bgr.rows * 62 / 100;  // head and neck, above the shirt
        long both = 0, either = 0;
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < bgr.cols; ++x) {
                const bool a = big.at<std::uint8_t>(y, x) >= 128, b = key.at<std::uint8_t>(y, x) != 0;
                both += a && b;
                either += a || b;
            }
        // The key itself must be sound: the head and neck fill a fifth to a
        // half of the upper picture (a leaking flood fill would take it all).
        const double keyed = double(cv::countNonZero(key(cv::Rect(0, 0, bgr.cols, rows)))) / (double(rows) * bgr.cols);
        ASSERT_GT(keyed, 0.2);
        ASSERT_LT(keyed, 0.5);
        const double iou = double(both) / double(either);
        RecordProperty(fs::path(name).stem().string() + "_iou", std::to_string(iou));
        EXPECT_GE(iou, 0.97);
    }
}

TEST(PersonSegmentation, MissingOrBrokenModelIsAShortFailure) {
    TestSupport::TempDir dir;
    const std::vector<float> input(256 * 256 * 3, 0.5f);
    const auto expectFailure = [&] {
        try {
            PersonSegmentation::probabilities(input);
            ADD_FAILURE() << "no failure";
        } catch (const Vision::Unavailable& e) {
            EXPECT_STREQ(e.what(), "Person segmentation model is missing.");
        }
    };
    {
        FacePictures::ScopedEnv env(PersonSegmentation::environmentVariable, (dir.path() / "selfie.json").string());
        expectFailure();
    }
    // A graph whose weights file is cut short, and one that is not JSON.
    if (const auto model = PersonSegmentation::locate()) {
        fs::copy_file(*model, dir.path() / "selfie.json");
        const std::string weights = TestSupport::readFile(model->parent_path() / "selfie.bin");
        TestSupport::writeFile(dir.path() / "selfie.bin", weights.substr(0, weights.size() / 2));
        FacePictures::ScopedEnv env(PersonSegmentation::environmentVariable, (dir.path() / "selfie.json").string());
        expectFailure();
    }
    TestSupport::writeFile(dir.path() / "garbage.json", "{\"modelTopology\": [1, 2");
    FacePictures::ScopedEnv env(PersonSegmentation::environmentVariable, (dir.path() / "garbage.json").string());
    expectFailure();
}

TEST(PersonSegmentation, ConcurrentPassesAgree) {
    ASSERT_TRUE(haveModel()) << "the person segmentation model is missing (scripts/fetch-selfie)";
    std::vector<float> input(256 * 256 * 3);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = float((i * 7919) % 256) / 255.0f;
    const std::vector<float> expected = PersonSegmentation::probabilities(input);
    std::vector<std::vector<float>> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&] { r = PersonSegmentation::probabilities(input); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}
