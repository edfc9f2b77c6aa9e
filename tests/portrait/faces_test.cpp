// Which faces portrait retouching treats: the confidence, width and count rules,
// the mode switch, and face finding in JPEG and RAW files.
#include <algorithm>
#include <numeric>
#include <random>

#include <gtest/gtest.h>

#include "engine/library/extraction.h"
#include "engine/portrait/faces.h"
#include "vision/face_pictures.h"

namespace {

using PortraitFaces::Detected;
namespace fs = std::filesystem;

// A detector observation for a box given in pixels of a bitmapW x bitmapH
// bitmap (top-left origin), stored as the detector does: normalised, bottom-left origin.
Vision::FaceObservation observed(int bitmapW, int bitmapH, double x, double y, double w, double h, float confidence) {
    Vision::FaceObservation o;
    o.boundingBox = {x / bitmapW, 1 - (y + h) / bitmapH, w / bitmapW, h / bitmapH};
    o.confidence = confidence;
    return o;
}

TEST(PortraitFaceRules, ConfidenceWidthAndCountDecideEligibility) {
    struct Case {
        const char* name;
        int bitmapW, bitmapH, fullW, fullH;
        double minimumWidth;
        std::vector<Vision::FaceObservation> observations;
        std::vector<Detected> expected;
    };
    std::vector<Case> cases = {
        {"no faces", 1600, 1067, 1600, 1067, 64, {}, {}},
        {"0.79 is dropped, 0.8 is kept", 1000, 800, 1000, 800, 64,
         {observed(1000, 800, 10, 10, 100, 100, 0.79f), observed(1000, 800, 300, 20, 80, 90, 0.8f)},
         {{300, 20, 380, 110, true}}},
        {"64 full-size pixels is wide enough, 63 is not", 1600, 1067, 1600, 1067, 64,
         {observed(1600, 1067, 100, 100, 63, 63, 0.9f), observed(1600, 1067, 500, 100, 64, 64, 0.9f)},
         {{500, 100, 564, 164, true}, {100, 100, 163, 163, false}}},
        {"experimental mode needs 200", 1600, 1067, 1600, 1067, 200,
         {observed(1600, 1067, 100, 100, 199, 199, 0.9f), observed(1600, 1067, 500, 100, 250, 250, 0.9f)},
         {{500, 100, 750, 350, true}, {100, 100, 299, 299, false}}},
        // scale = 6000 / 1600 = 3.75: a tenth of the bitmap's width is 600 full-size pixels
        {"6000 x 4000 photo, face a tenth wide, needs 600", 1600, 1067, 6000, 4000, 600,
         {observed(1600, 1067, 800, 400, 160, 160, 0.95f)}, {{800, 400, 960, 560, true}}},
        {"6000 x 4000 photo, face a tenth wide, needs 601", 1600, 1067, 6000, 4000, 601,
         {observed(1600, 1067, 800, 400, 160, 160, 0.95f)}, {{800, 400, 960, 560, false}}},
        // Stored sideways: the bitmap is upright, the stored size is not; only long edges count.
        {"photo stored rotated", 1067, 1600, 6000, 4000, 400,
         {observed(1067, 1600, 100, 200, 106.7, 150, 0.95f)}, {{100, 200, 206.7, 350, true}}},
        {"equal widths keep the detector's order; eligible faces first", 1000, 1000, 1000, 1000, 64,
         {observed(1000, 1000, 10, 0, 50, 50, 0.9f), observed(1000, 1000, 100, 0, 100, 100, 0.85f),
          observed(1000, 1000, 300, 0, 100, 100, 0.99f)},
         {{100, 0, 200, 100, true}, {300, 0, 400, 100, true}, {10, 0, 60, 50, false}}},
    };

    // A group photo of 14 faces wide enough, in a shuffled detector order: the 12
    // widest are eligible, widest first; the two narrowest follow with 0.
    Case group{"14 faces, 12 eligible", 1600, 1067, 1600, 1067, 64, {}, {}};
    std::vector<int> widths(14);
    std::iota(widths.begin(), widths.end(), 0);
    std::shuffle(widths.begin(), widths.end(), std::mt19937(7));
    for (int i : widths) group.observations.push_back(observed(1600, 1067, 100 * i, 500, 70 + 5 * i, 80, 0.9f));
    for (int i = 13; i >= 0; --i) group.expected.push_back({100.0 * i, 500, 100.0 * i + 70 + 5 * i, 580, i >= 2});
    cases.push_back(group);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto faces = PortraitFaces::eligibility(c.observations, c.bitmapW, c.bitmapH, c.fullW, c.fullH,
                                                      c.minimumWidth);
        ASSERT_EQ(faces.size(), c.expected.size());
        for (std::size_t i = 0; i < faces.size(); ++i) {
            SCOPED_TRACE("face " + std::to_string(i));
            EXPECT_NEAR(faces[i].x1, c.expected[i].x1, 1e-6);
            EXPECT_NEAR(faces[i].y1, c.expected[i].y1, 1e-6);
            EXPECT_NEAR(faces[i].x2, c.expected[i].x2, 1e-6);
            EXPECT_NEAR(faces[i].y2, c.expected[i].y2, 1e-6);
            EXPECT_EQ(faces[i].eligible, c.expected[i].eligible);
        }
    }
}

TEST(PortraitFaceRules, ExperimentalModeIsExactlyOne) {
    const std::pair<std::optional<std::string>, double> cases[] = {
        {std::nullopt, 64}, {"1", 200}, {"", 64}, {"0", 64}, {"true", 64}, {"1 ", 64}, {" 1", 64}, {"11", 64},
    };
    for (const auto& [value, width] : cases) {
        SCOPED_TRACE(value.value_or("(unset)"));
        FacePictures::ScopedEnv env("MERROW_EXPERIMENTAL_SKIN", value);
        EXPECT_EQ(PortraitFaces::modeMinimumWidth(), width);
    }
}

TEST(PortraitFaceRules, ListsFractionsOfTheBitmap) {
    PortraitFaces::Detection detection;
    detection.bitmap = Imaging::Bitmap(1000, 500, 3);
    detection.faces = {{100, 200, 400, 400, true}, {0, 0, 50, 25, false}};
    const std::vector<std::vector<double>> expected{{0.1, 0.4, 0.4, 0.8, 1}, {0, 0, 0.05, 0.05, 0}};
    EXPECT_EQ(PortraitFaces::fractions(detection), expected);
}

// Detection on a real portrait decoded in the test; the full-size photo the
// bitmap stands for decides which faces are wide enough.
TEST(PortraitFaceDetection, FullSizeDecidesEligibility) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    const cv::Mat obama = FacePictures::load("faces/facerec_obama.jpg");  // 910 x 1137, face about 265 wide
    ASSERT_FALSE(obama.empty());
    struct Case {
        int fullW, fullH;
        double minimumWidth;
        bool eligible;
    };
    const Case cases[] = {
        {910, 1137, 200, true},
        {455, 568, 200, false},  // the bitmap stands for a photo half its size: the face is 132 wide
        {455, 568, 64, true},
        {3640, 4548, 1000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.fullW) + " wide, minimum " + std::to_string(c.minimumWidth));
        const auto detection =
            PortraitFaces::detect(FacePictures::bitmap(obama), c.fullW, c.fullH, c.minimumWidth);
        EXPECT_EQ(detection.bitmap.width, 910);
        ASSERT_EQ(detection.faces.size(), 1u);
        EXPECT_EQ(detection.faces[0].eligible, c.eligible);
        EXPECT_NEAR((detection.faces[0].x1 + detection.faces[0].x2) / 2, 495, 25);
        EXPECT_NEAR((detection.faces[0].y1 + detection.faces[0].y2) / 2, 277, 25);
    }
}

TEST(PortraitFaceDetection, FilesThatAreNoPhotosFailWithTheDecodeMessage) {
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "notes.txt", "these are not pixels\n");
    TestSupport::writeFile(dir / "empty.jpg", "");
    TestSupport::writeFile(dir / "fake.dng", std::string("II*\0garbage", 11));
    for (const fs::path& file : {dir / "notes.txt", dir / "empty.jpg", dir / "fake.dng", dir / "absent.nef"}) {
        SCOPED_TRACE(file.filename().string());
        try {
            PortraitFaces::list(file);
            ADD_FAILURE() << "listed faces of a file that is no photo";
        } catch (const PortraitFaces::Failure& e) {
            EXPECT_EQ(std::string(e.what()), "Could not decode photo for skin analysis");
        }
    }
}

TEST(PortraitFaceDetection, MissingModelIsAnErrorForTheStudio) {
    TestSupport::TempDir dir;
    FacePictures::ScopedEnv env("MERROW_FACE_MODEL", (dir / "absent.onnx").string());
    try {
        PortraitFaces::detect(Imaging::Bitmap(320, 240, 3), 320, 240);
        ADD_FAILURE() << "no error";
    } catch (const PortraitFaces::Failure& e) {
        EXPECT_EQ(std::string(e.what()), "Face detection model is missing.");
    }
}

// RAW files made at test time from a real portrait: one upright, one stored
// sideways with orientation 6.
class RawPortrait : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const auto fixtures = TestSupport::fixturesDir();
        if (!fixtures) return;
        const fs::path tool = fixtures->parent_path() / "tools" / "make-dng";
        if (!fs::exists(tool)) return;
        dir_ = new TestSupport::TempDir();
        const cv::Mat upright = cv::imread(TestSupport::fixture("faces/facerec_obama.jpg").string());
        cv::Mat sideways;
        cv::rotate(upright, sideways, cv::ROTATE_90_COUNTERCLOCKWISE);
        cv::imwrite((*dir_ / "sideways.jpg").string(), sideways);
        const auto make = [&](const std::string& input, const std::string& output,
                              std::vector<std::string> extra) {
            std::vector<std::string> args{input, (*dir_ / output).string(), "--scale", "0.5"};
            args.insert(args.end(), extra.begin(), extra.end());
            const auto result = TestSupport::run("/usr/bin/python3", [&] {
                std::vector<std::string> a{tool.string()};
                a.insert(a.end(), args.begin(), args.end());
                return a;
            }());
            if (result.status != 0) failure_ += output + ": " + result.err;
        };
        make(TestSupport::fixture("faces/facerec_obama.jpg").string(), "upright.dng", {});
        make((*dir_ / "sideways.jpg").string(), "sideways.dng", {"--orientation", "6"});
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override {
        REQUIRE_FIXTURES();
        if (!dir_) GTEST_SKIP() << "make-dng is not available";
        ASSERT_EQ(failure_, "") << "make-dng failed";
        REQUIRE_FACE_MODEL();
    }
    static fs::path file(const std::string& name) { return *dir_ / name; }

    static inline TestSupport::TempDir* dir_ = nullptr;
    static inline std::string failure_;
};

TEST_F(RawPortrait, FacesAreFoundUprightFromTheRawData) {
    struct Case {
        const char* file;
        std::optional<std::string> experimental;
        double eligible;
    };
    // The DNGs are 454 x 568 (or sideways), the face about 132 full-size pixels wide.
    const Case cases[] = {
        {"upright.dng", std::nullopt, 1},
        {"upright.dng", "1", 0},
        {"sideways.dng", std::nullopt, 1},
        {"sideways.dng", "1", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " experimental " + c.experimental.value_or("unset"));
        FacePictures::ScopedEnv env("MERROW_EXPERIMENTAL_SKIN", c.experimental);
        const auto faces = PortraitFaces::list(file(c.file));
        ASSERT_EQ(faces.size(), 1u);
        ASSERT_EQ(faces[0].size(), 5u);
        // The face of the upright photo: fractions of the displayed picture, top-left origin.
        EXPECT_NEAR(faces[0][0], 362.0 / 910, 0.04);
        EXPECT_NEAR(faces[0][1], 145.0 / 1137, 0.04);
        EXPECT_NEAR(faces[0][2], 627.0 / 910, 0.04);
        EXPECT_NEAR(faces[0][3], 410.0 / 1137, 0.04);
        EXPECT_EQ(faces[0][4], c.eligible);
    }
}

TEST_F(RawPortrait, AnalysisBitmapIsAnUprightHalfSizeDecode) {
    for (const char* name : {"upright.dng", "sideways.dng"}) {
        SCOPED_TRACE(name);
        const auto picture = PortraitFaces::analysisPicture(file(name));
        EXPECT_LT(picture.bitmap.width, picture.bitmap.height);  // a portrait, once upright
        EXPECT_NEAR(std::max(picture.fullWidth, picture.fullHeight), 2 * picture.bitmap.height, 2);
        EXPECT_LE(std::max(picture.bitmap.width, picture.bitmap.height), PortraitFaces::analysisLongEdge);
    }
}

// JPEG files go through the photo library's full decode; this runs once the
// library can open them.
TEST(PortraitFaceDetection, JpegPortraitsListTheirFacesUpright) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    ASSERT_TRUE(Extraction::open(TestSupport::fixture("faces/facerec_obama.jpg")));
    FacePictures::ScopedEnv env("MERROW_EXPERIMENTAL_SKIN", std::nullopt);
    struct Case {
        const char* photo;
        std::vector<double> face;  // one face listed (Marie Curie's in the Curie portrait, whose
                                   // wider profile face of Pierre Curie comes first)
    };
    const Case cases[] = {
        {"faces/facerec_obama.jpg", {362.0 / 910, 145.0 / 1137, 627.0 / 910, 410.0 / 1137, 1}},
        {"faces/immich_portrait.jpg", {266.0 / 840, 184.0 / 700, 359.0 / 840, 277.0 / 700, 1}},
        {"faces/immich_portrait-orientation-6.jpg", {266.0 / 840, 184.0 / 700, 359.0 / 840, 277.0 / 700, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.photo);
        const auto faces = PortraitFaces::list(TestSupport::fixture(c.photo));
        ASSERT_GE(faces.size(), 1u);
        // The listed face whose left edge lies nearest the expected one.
        const auto& face = *std::min_element(faces.begin(), faces.end(), [&](const auto& a, const auto& b) {
            return std::abs(a[0] - c.face[0]) < std::abs(b[0] - c.face[0]);
        });
        for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(face[i], c.face[i], 0.03) << "coordinate " << i;
        EXPECT_EQ(face[4], c.face[4]);
    }
}

}  // namespace
