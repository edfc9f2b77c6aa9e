// The face detector on real photos, on small faces in large pictures, without
// its model, and from several threads.
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "engine/vision/faces.h"
#include "vision/face_pictures.h"

namespace {

using FacePictures::bitmap;
using FacePictures::load;

struct Expected {
    double cx, cy;  // centre of the face box, fractions of the picture, y from the top
    bool frontal = true;  // both eyes in view
};

double centreX(const Vision::FaceObservation& f) { return f.boundingBox.x + f.boundingBox.width / 2; }
double centreY(const Vision::FaceObservation& f) { return 1 - (f.boundingBox.y + f.boundingBox.height / 2); }

// The confident faces of a sample photo, decoded upright as the engine does.
TEST(FaceDetector, FindsTheFacesOfRealPortraits) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    struct Case {
        const char* photo;
        std::vector<Expected> faces;  // confident faces (0.8 and above), best first
    };
    const Case cases[] = {
        {"faces/facerec_obama.jpg", {{0.545, 0.24}}},
        // Marie Curie faces the camera; Pierre, in profile, scores low with the
        // detector and is confirmed by the SSD check.
        {"faces/immich_portrait.jpg", {{0.706, 0.261, false}, {0.372, 0.33}}},
        // Stored sideways with an orientation tag: once upright, the same faces in
        // the same places (the grey copy's profile face checks weaker).
        {"faces/immich_portrait-orientation-6.jpg", {{0.372, 0.33}, {0.71, 0.253, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.photo);
        const cv::Mat picture = load(c.photo);
        ASSERT_FALSE(picture.empty());
        const auto faces = Vision::detectFaces(bitmap(picture));
        ASSERT_TRUE(faces.has_value());
        std::vector<Vision::FaceObservation> confident;
        for (const auto& f : *faces)
            if (f.confidence >= 0.8f) confident.push_back(f);
        ASSERT_EQ(confident.size(), c.faces.size());
        for (std::size_t i = 0; i < confident.size(); ++i) {
            const auto& f = confident[i];
            EXPECT_NEAR(centreX(f), c.faces[i].cx, 0.03);
            EXPECT_NEAR(centreY(f), c.faces[i].cy, 0.03);
            EXPECT_LE(f.confidence, 1.0f);
            // Landmarks come with every face: the eyes inside the box, the person's
            // right eye on the picture's left, above the mouth.
            ASSERT_TRUE(f.landmarks.has_value());
            if (!c.faces[i].frontal) continue;
            const auto& l = *f.landmarks;
            ASSERT_EQ(l.rightPupil.size(), 1u);
            ASSERT_EQ(l.leftPupil.size(), 1u);
            for (const auto& p : {l.rightPupil[0], l.leftPupil[0]}) {
                EXPECT_GT(p.x, 0);
                EXPECT_LT(p.x, 1);
                EXPECT_GT(p.y, 0.4);
                EXPECT_LT(p.y, 1);
            }
            EXPECT_LT(l.rightPupil[0].x, l.leftPupil[0].x);
            EXPECT_GT(l.rightPupil[0].y, l.outerLips[0].y);
        }
        // Results are ordered by confidence.
        for (std::size_t i = 1; i < faces->size(); ++i) EXPECT_GE((*faces)[i - 1].confidence, (*faces)[i].confidence);
    }
}

// A face pasted small into a large plain picture: found once, wherever it lies,
// including across the seams of the search tiles.
TEST(FaceDetector, FindsSmallFacesInLargePictures) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    const cv::Mat obama = load("faces/facerec_obama.jpg");
    ASSERT_FALSE(obama.empty());
    // The face with a margin: its box is about two thirds of this crop.
    const cv::Mat head = obama(cv::Rect(290, 80, 400, 400));
    struct Case {
        int faceWidth;  // pixels of the face box in the 1600 x 1067 picture, about
        int x, y;       // top-left corner of the pasted crop
    };
    const Case cases[] = {
        {40, 700, 500},   // the group-photo case
        {40, 610, 490},   // across the seam of two fine tiles
        {64, 1500, 960},  // bottom-right corner
        {150, 300, 100},
        {600, 500, 150},  // a large face, found by the whole-picture pass
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("face of " + std::to_string(c.faceWidth) + " px at " + std::to_string(c.x) + "," +
                     std::to_string(c.y));
        cv::Mat canvas(1067, 1600, CV_8UC3, cv::Scalar(90, 110, 120));
        const int crop = int(c.faceWidth * 1.5);
        cv::Mat small;
        cv::resize(head, small, cv::Size(crop, crop), 0, 0, cv::INTER_AREA);
        const cv::Rect at = cv::Rect(c.x, c.y, crop, crop) & cv::Rect(0, 0, canvas.cols, canvas.rows);
        small(cv::Rect(0, 0, at.width, at.height)).copyTo(canvas(at));
        const auto faces = Vision::detectFaces(bitmap(canvas));
        ASSERT_TRUE(faces.has_value());
        ASSERT_EQ(faces->size(), 1u);
        const auto& f = (*faces)[0];
        EXPECT_GE(f.confidence, 0.8f);
        const double expectedCx = (c.x + crop / 2.0) / canvas.cols, expectedCy = (c.y + crop / 2.0) / canvas.rows;
        EXPECT_NEAR(centreX(f), expectedCx, 0.25 * crop / canvas.cols);
        EXPECT_NEAR(centreY(f), expectedCy, 0.25 * crop / canvas.rows);
        EXPECT_NEAR(f.boundingBox.width * canvas.cols, c.faceWidth, 0.4 * c.faceWidth);
    }
}

// A group photo of small faces: sixteen faces of the sample portraits, 34 to
// 40 pixels wide, in a 1280 x 850 picture. The detector alone is unsure of
// most of them; the thorough search lists every one confidently, once.
TEST(FaceDetector, ListsEveryFaceOfAGroupOfSmallFaces) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    struct Source {
        const char* photo;
        double cx, cy, width;  // face centre and width, fractions of the photo
    };
    const Source sources[] = {
        {"faces/facerec_obama.jpg", 0.545, 0.24, 0.29},
        {"portraits/singnet_laos_two_girls.jpg", 0.20, 0.60, 0.26},
        {"portraits/singnet_laos_two_girls.jpg", 0.69, 0.54, 0.26},
        {"portraits/webmorph_london008_westasian_man_smile.jpg", 0.51, 0.45, 0.37},
        {"portraits/webmorph_london030_eastasian_woman_smile.jpg", 0.50, 0.47, 0.35},
        {"portraits/webmorph_lisa_closeup_15cm.jpg", 0.51, 0.45, 0.70},
        {"portraits/singnet_model_face_retouched_hand.jpg", 0.41, 0.30, 0.56},
        {"faces/immich_portrait.jpg", 0.372, 0.33, 0.11},
    };
    cv::Mat canvas(850, 1280, CV_8UC3, cv::Scalar(90, 80, 70));
    cv::Mat noise(canvas.size(), CV_8UC3);
    cv::randu(noise, 0, 25);
    canvas += noise;
    std::vector<cv::Point2d> centres;
    for (int k = 0; k < 16; ++k) {
        const Source& src = sources[k % 8];
        const cv::Mat photo = load(src.photo);
        ASSERT_FALSE(photo.empty());
        const double faceWidth = 34 + 2 * (k % 4);
        const int side = int(2.2 * src.width * photo.cols);
        cv::Mat crop(side, side, CV_8UC3, cv::Scalar::all(0));
        const cv::Rect from(int(src.cx * photo.cols - side / 2.0), int(src.cy * photo.rows - side / 2.0), side, side);
        const cv::Rect inside = from & cv::Rect(0, 0, photo.cols, photo.rows);
        photo(inside).copyTo(crop(inside - from.tl()));
        const double scale = faceWidth / (src.width * photo.cols);
        cv::Mat small;
        cv::resize(crop, small, cv::Size(), scale, scale, cv::INTER_AREA);
        const cv::Point at(60 + (k % 8) * 150, 100 + (k / 8) * 400);
        small.copyTo(canvas(cv::Rect(at, small.size())));
        centres.push_back({(at.x + small.cols / 2.0) / canvas.cols, (at.y + small.rows / 2.0) / canvas.rows});
    }
    const auto faces = Vision::findFaces(bitmap(canvas));
    std::vector<int> found(centres.size(), 0);
    int confident = 0;
    for (const auto& f : faces) {
        if (f.confidence < 0.8f) continue;
        ++confident;
        for (std::size_t i = 0; i < centres.size(); ++i)
            if (std::abs(centreX(f) - centres[i].x) < 0.02 && std::abs(centreY(f) - centres[i].y) < 0.03) ++found[i];
    }
    for (std::size_t i = 0; i < centres.size(); ++i) EXPECT_EQ(found[i], 1) << "face " << i;
    EXPECT_EQ(confident, 16);
}

TEST(FaceDetector, PicturesWithoutFacesGiveNone) {
    REQUIRE_FACE_MODEL();
    struct Case {
        const char* name;
        Imaging::Bitmap picture;
    };
    Imaging::Bitmap grey(1600, 1000, 1);
    std::fill(grey.pixels.begin(), grey.pixels.end(), 128);
    Imaging::Bitmap gradient(700, 400, 4);
    for (int y = 0; y < gradient.height; ++y)
        for (int x = 0; x < gradient.width; ++x) {
            auto* p = gradient.row(y) + 4 * x;
            p[0] = std::uint8_t(x * 255 / 700), p[1] = std::uint8_t(y * 255 / 400), p[2] = 60, p[3] = 255;
        }
    const Case cases[] = {{"grey", grey}, {"gradient RGBA", gradient}, {"one pixel", Imaging::Bitmap(1, 1, 3)},
                          {"empty", Imaging::Bitmap()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto faces = Vision::detectFaces(c.picture);
        ASSERT_TRUE(faces.has_value());
        EXPECT_TRUE(faces->empty());
    }
}

TEST(FaceDetector, WithoutItsModelReportsWhyInsteadOfFailingHard) {
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "broken.onnx", "not a network");
    struct Case {
        std::string model;
        std::string message;
    };
    const Case cases[] = {
        {(dir / "absent.onnx").string(), "Face detection model is missing."},
        {(dir / "broken.onnx").string(), "Face detection model could not be loaded."},
    };
    Imaging::Bitmap picture(64, 64, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        FacePictures::ScopedEnv env("MERROW_FACE_MODEL", c.model);
        EXPECT_FALSE(Vision::detectFaces(picture).has_value());
        try {
            Vision::findFaces(picture);
            ADD_FAILURE() << "no error";
        } catch (const Vision::Unavailable& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
}

TEST(FaceDetector, ConcurrentCallsAgree) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    const cv::Mat picture = load("faces/immich_portrait.jpg");
    ASSERT_FALSE(picture.empty());
    const Imaging::Bitmap b = bitmap(picture);
    const auto reference = Vision::findFaces(b);
    std::vector<std::future<std::vector<Vision::FaceObservation>>> runs;
    for (int i = 0; i < 3; ++i) runs.push_back(std::async(std::launch::async, [&] { return Vision::findFaces(b); }));
    for (auto& run : runs) {
        const auto faces = run.get();
        ASSERT_EQ(faces.size(), reference.size());
        for (std::size_t i = 0; i < faces.size(); ++i) {
            EXPECT_FLOAT_EQ(faces[i].confidence, reference[i].confidence);
            EXPECT_DOUBLE_EQ(faces[i].boundingBox.x, reference[i].boundingBox.x);
        }
    }
}

}  // namespace
