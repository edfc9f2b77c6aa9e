// The 68-point landmark network on real portraits: where the features land,
// mirror symmetry, pupils, concurrent use, and a missing or broken model.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/vision/landmarks68.h"
#include "support/support.h"

namespace {

using FaceLandmarks::Box;
using FaceLandmarks::Face;

#define REQUIRE_LANDMARK_MODEL()                                                           \
    do {                                                                                   \
        if (!FaceLandmarks::locateModel())                                                 \
            GTEST_SKIP() << "face landmark model is not available (scripts/fetch-landmarks)"; \
    } while (0)

Imaging::Bitmap bitmapOf(const cv::Mat& m) {
    Imaging::Bitmap b(m.cols, m.rows, m.channels());
    for (int y = 0; y < m.rows; ++y) std::memcpy(b.row(y), m.ptr(y), b.stride());
    return b;
}

// A fixture photo as RGB, or as one grey channel.
Imaging::Bitmap load(const std::string& name, bool grey) {
    cv::Mat m = cv::imread(TestSupport::fixture(name).string(), grey ? cv::IMREAD_GRAYSCALE : cv::IMREAD_COLOR);
    if (!grey) cv::cvtColor(m, m, cv::COLOR_BGR2RGB);
    return bitmapOf(m);
}

Vision::Point centre(const Face& f, int from, int count) {
    Vision::Point c;
    for (int i = from; i < from + count; ++i) c.x += f.points[i].x, c.y += f.points[i].y;
    return {c.x / count, c.y / count};
}

bool inside(const Face& f, int from, int count, Vision::Point p) {
    std::vector<cv::Point2f> polygon;
    for (int i = from; i < from + count; ++i) polygon.emplace_back(float(f.points[i].x), float(f.points[i].y));
    return cv::pointPolygonTest(polygon, cv::Point2f(float(p.x), float(p.y)), false) >= 0;
}

double distance(Vision::Point a, Vision::Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

// The point of the mirrored face that corresponds to point i.
int mirrorOf(int i) {
    static const int partner[68] = {
        16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0,  // jaw
        26, 25, 24, 23, 22, 21, 20, 19, 18, 17,                    // brows
        27, 28, 29, 30, 35, 34, 33, 32, 31,                        // nose
        45, 44, 43, 42, 47, 46, 39, 38, 37, 36, 41, 40,            // eyes
        54, 53, 52, 51, 50, 49, 48, 59, 58, 57, 56, 55,            // outer lips
        64, 63, 62, 61, 60, 67, 66, 65,                            // inner lips
    };
    return partner[i];
}

// Faces of the shared portraits, with the box the face detector gives and the
// eye and mouth keypoints it reports (pixels, top-left origin).
struct Portrait {
    const char* name;
    const char* file;
    bool grey;
    Box box;
    Vision::Point rightEye, leftEye, mouth;
};

const Portrait portraits[] = {
    {"obama", "faces/facerec_obama.jpg", false, {363.3, 150.5, 262.0, 262.0}, {436.2, 217.1}, {547.4, 212.8},
     {494.0, 330.0}},
    {"curie", "faces/immich_portrait.jpg", false, {267.0, 186.5, 92.1, 92.1}, {299.9, 209.5}, {339.4, 208.6},
     {323.7, 250.0}},
    // The same photo in grey, stored rotated; the decoder turns it upright.
    {"curie_grey", "faces/immich_portrait-orientation-6.jpg", true, {267.0, 186.5, 92.1, 92.1}, {299.9, 209.5},
     {339.4, 208.6}, {323.7, 250.0}},
};

void PrintTo(const Portrait& p, std::ostream* os) { *os << p.name; }

class LandmarksOnPortraits : public ::testing::TestWithParam<Portrait> {};

TEST_P(LandmarksOnPortraits, FeaturesLandWhereTheFaceHasThem) {
    REQUIRE_FIXTURES();
    REQUIRE_LANDMARK_MODEL();
    const Portrait& p = GetParam();
    const Imaging::Bitmap picture = load(p.file, p.grey);
    ASSERT_FALSE(picture.empty());
    const Face f = FaceLandmarks::locate(picture, p.box);
    const Box& b = p.box;

    // Both eye outlines in the upper half of the box, the person's right eye
    // on the picture's left; each holds the detector's eye keypoint and its pupil.
    for (int i = 36; i < 48; ++i) {
        EXPECT_GT(f.points[i].x, b.x) << i;
        EXPECT_LT(f.points[i].x, b.x + b.width) << i;
        EXPECT_GT(f.points[i].y, b.y) << i;
        EXPECT_LT(f.points[i].y, b.y + 0.5 * b.height) << i;
    }
    EXPECT_LT(centre(f, 36, 6).x, centre(f, 42, 6).x);
    EXPECT_TRUE(inside(f, 36, 6, p.rightEye));
    EXPECT_TRUE(inside(f, 42, 6, p.leftEye));
    EXPECT_TRUE(inside(f, 36, 6, f.rightPupil));
    EXPECT_TRUE(inside(f, 42, 6, f.leftPupil));

    // The mouth in the lower part of the box, holding the detector's mouth keypoint.
    EXPECT_GT(centre(f, 48, 12).y, b.y + 0.6 * b.height);
    for (int i = 48; i < 68; ++i) {
        EXPECT_GT(f.points[i].x, b.x) << i;
        EXPECT_LT(f.points[i].x, b.x + b.width) << i;
        EXPECT_LT(f.points[i].y, b.y + b.height) << i;
    }
    EXPECT_TRUE(inside(f, 48, 12, p.mouth));

    // Brows above the eyes, the nose tip between the eyes and the mouth, the
    // chin below the mouth.
    EXPECT_LT(centre(f, 17, 5).y, centre(f, 36, 6).y);
    EXPECT_LT(centre(f, 22, 5).y, centre(f, 42, 6).y);
    EXPECT_GT(f.points[30].y, centre(f, 36, 6).y);
    EXPECT_LT(f.points[30].y, centre(f, 48, 12).y);
    EXPECT_GT(f.points[8].y, centre(f, 48, 12).y);
}

TEST_P(LandmarksOnPortraits, MirroredPhotoGivesMirroredLandmarks) {
    REQUIRE_FIXTURES();
    REQUIRE_LANDMARK_MODEL();
    const Portrait& p = GetParam();
    const Imaging::Bitmap picture = load(p.file, p.grey);
    cv::Mat flipped;
    cv::flip(cv::Mat(picture.height, picture.width, CV_8UC(picture.channels),
                     const_cast<std::uint8_t*>(picture.pixels.data())),
             flipped, 1);
    const Imaging::Bitmap mirror = bitmapOf(flipped);
    const double w = picture.width;

    const Face f = FaceLandmarks::locate(picture, p.box);
    const Face m = FaceLandmarks::locate(mirror, {w - p.box.x - p.box.width, p.box.y, p.box.width, p.box.height});

    const double eyes = distance(centre(f, 36, 6), centre(f, 42, 6));
    double total = 0, worst = 0;
    for (int i = 0; i < 68; ++i) {
        const Vision::Point back{w - m.points[mirrorOf(i)].x, m.points[mirrorOf(i)].y};
        const double d = distance(f.points[i], back);
        total += d;
        worst = std::max(worst, d);
    }
    EXPECT_LT(total / 68, 0.05 * eyes);
    EXPECT_LT(worst, 0.15 * eyes);
    EXPECT_LT(distance(f.rightPupil, {w - m.leftPupil.x, m.leftPupil.y}), 0.08 * eyes);
    EXPECT_LT(distance(f.leftPupil, {w - m.rightPupil.x, m.rightPupil.y}), 0.08 * eyes);
}

INSTANTIATE_TEST_SUITE_P(Faces, LandmarksOnPortraits, ::testing::ValuesIn(portraits),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Landmarks68, ConcurrentPassesAgreeWithASingleOne) {
    REQUIRE_FIXTURES();
    REQUIRE_LANDMARK_MODEL();
    const Portrait& p = portraits[0];
    const Imaging::Bitmap picture = load(p.file, false);
    std::vector<std::future<Face>> runs;
    for (int i = 0; i < 4; ++i)
        runs.push_back(std::async(std::launch::async, [&] { return FaceLandmarks::locate(picture, p.box); }));
    const Face alone = FaceLandmarks::locate(picture, p.box);
    for (auto& run : runs) {
        const Face f = run.get();
        for (int i = 0; i < 68; ++i) {
            EXPECT_EQ(f.points[i].x, alone.points[i].x);
            EXPECT_EQ(f.points[i].y, alone.points[i].y);
        }
    }
}

TEST(Landmarks68, FaceAtThePictureEdgeStillGivesPointsNearIt) {
    REQUIRE_FIXTURES();
    REQUIRE_LANDMARK_MODEL();
    // The Obama portrait cut through the middle of the face: the crop around
    // the box reaches past the picture, which the network sees as black.
    const Imaging::Bitmap whole = load(portraits[0].file, false);
    cv::Mat m(whole.height, whole.width, CV_8UC3, const_cast<std::uint8_t*>(whole.pixels.data()));
    const int cut = 494;
    const Imaging::Bitmap half = bitmapOf(m(cv::Rect(cut, 0, whole.width - cut, whole.height)).clone());
    const Box box{portraits[0].box.x - cut, portraits[0].box.y, portraits[0].box.width, portraits[0].box.height};
    const Face f = FaceLandmarks::locate(half, box);
    for (const auto& q : f.points) {
        ASSERT_TRUE(std::isfinite(q.x) && std::isfinite(q.y));
        EXPECT_NEAR(q.x, box.x + box.width / 2, box.width);
        EXPECT_NEAR(q.y, box.y + box.height / 2, box.height);
    }
}

// Sets an environment variable for one scope.
class Environment {
public:
    Environment(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~Environment() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(Landmarks68, MissingOrBrokenModelIsReportedAsUnavailable) {
    struct Case {
        const char* what;
        std::string manifest;  // empty: no manifest at all
        std::string weights;
        const char* message;
    };
    const std::string manifest =
        R"([{"paths": ["face_landmark_68_model.bin"], "weights": [{"name": "dense0/conv0/filters",)"
        R"( "shape": [3, 3, 3, 32], "dtype": "float32", "quantization": {"dtype": "uint8", "scale": 0.01, "min": -1}}]}])";
    const auto hugeShape = [](const std::string& shape) {
        return R"([{"paths": ["face_landmark_68_model.bin"], "weights": [{"name": "dense0/conv0/filters", "shape": )" +
               shape + R"(, "dtype": "float32"}]}])";
    };
    const Case cases[] = {
        {"no model", "", "", "Face landmark model is missing."},
        {"manifest is not JSON", "not json", "", "Face landmark model could not be loaded."},
        {"weights file absent", manifest, "", "Face landmark model could not be loaded."},
        {"weights file short", manifest, std::string(100, '\x80'), "Face landmark model could not be loaded."},
        {"tensors missing", manifest, std::string(864, '\x80'), "Face landmark model could not be loaded."},
        // Shapes far beyond the weights file are refused before anything is
        // allocated for them, also when their product wraps around.
        {"shape of two billion floats", hugeShape("[2000000000]"), std::string(64, '\x80'),
         "Face landmark model could not be loaded."},
        {"shape whose product wraps around", hugeShape("[65536, 65536, 65536, 65536]"), std::string(64, '\x80'),
         "Face landmark model could not be loaded."},
    };
    Imaging::Bitmap picture(64, 64, 3);
    for (const Case& c : cases) {
        TestSupport::TempDir dir;
        if (!c.manifest.empty()) TestSupport::writeFile(dir / FaceLandmarks::manifestFileName, c.manifest);
        if (!c.weights.empty()) TestSupport::writeFile(dir / FaceLandmarks::weightsFileName, c.weights);
        Environment env(FaceLandmarks::environmentVariable, dir.path().string());
        try {
            FaceLandmarks::locate(picture, {8, 8, 48, 48});
            ADD_FAILURE() << c.what << ": no error";
        } catch (const FaceLandmarks::Unavailable& e) {
            EXPECT_STREQ(e.what(), c.message) << c.what;
        }
    }
}

TEST(Landmarks68, RejectsPicturesAndBoxesItCannotUse) {
    REQUIRE_LANDMARK_MODEL();
    Imaging::Bitmap empty;
    Imaging::Bitmap grey(32, 32, 1);
    Imaging::Bitmap twoChannels(32, 32, 2);
    EXPECT_THROW(FaceLandmarks::locate(empty, {0, 0, 10, 10}), std::invalid_argument);
    EXPECT_THROW(FaceLandmarks::locate(twoChannels, {0, 0, 10, 10}), std::invalid_argument);
    EXPECT_THROW(FaceLandmarks::locate(grey, {0, 0, 0, 10}), std::invalid_argument);
    EXPECT_THROW(FaceLandmarks::locate(grey, {NAN, 0, 10, 10}), std::invalid_argument);
    EXPECT_THROW(FaceLandmarks::locate(grey, {0, 0, 1e12, 1e12}), std::invalid_argument);
    EXPECT_THROW(FaceLandmarks::locate(grey, {-1e12, 0, 10, 10}), std::invalid_argument);
    EXPECT_NO_THROW(FaceLandmarks::locate(grey, {-20, -20, 10, 10}));  // wholly outside: black crop
}

}  // namespace
