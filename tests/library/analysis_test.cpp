#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/library/analysis.h"
#include "engine/library/extraction.h"
#include "support/support.h"

using Extraction::FaceFindings;
using Extraction::LocalAnalysis;

namespace {

using Paint = std::function<std::uint8_t(int x, int y)>;

// A grey picture whose every channel is paint(x, y).
Imaging::Bitmap picture(int width, int height, const Paint& paint, int channels = 3) {
    Imaging::Bitmap bitmap(width, height, channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) bitmap.row(y)[x * channels + c] = c == 3 ? 255 : paint(x, y);
    return bitmap;
}

Paint uniform(std::uint8_t v) {
    return [v](int, int) { return v; };
}

// A 10 x 10 checkerboard at (20, 30) on mid-grey.
std::uint8_t patchNearTopLeft(int x, int y) {
    bool inside = x >= 20 && x < 30 && y >= 30 && y < 40;
    return inside ? ((x + y) % 2 ? 255 : 0) : 128;
}

Vision::FaceObservation face(double x, double y, double w, double h) {
    Vision::FaceObservation observation;
    observation.boundingBox = {x, y, w, h};
    return observation;
}

std::vector<Vision::Point> ring(double cx, double cy, double rx, double ry) {
    std::vector<Vision::Point> points;
    for (int i = 0; i < 8; ++i) {
        double a = i * M_PI / 4;
        points.push_back({cx + rx * std::cos(a), cy + ry * std::sin(a)});
    }
    return points;
}

std::vector<std::string> keys(const nlohmann::ordered_json& object) {
    std::vector<std::string> names;
    for (auto it = object.begin(); it != object.end(); ++it) names.push_back(it.key());
    return names;
}

}  // namespace

// Expected measures of synthetic pictures; NAN means "not checked".
struct SceneCase {
    const char* name;
    Imaging::Bitmap image;
    double luma, contrast, saturation, warmth, highlightRate, shadowRate, edgeDensity;
    double focus, motion, exposure, highlightSafety, composition;
    std::optional<Extraction::FocusPoint> focusPoint;  // x < 0: present, position not checked
};

TEST(LocalAnalysis, MeasuresOfSyntheticPictures) {
    const double any = NAN;
    auto colour = [](int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
        Imaging::Bitmap bitmap(w, h, 3);
        for (std::size_t i = 0; i < bitmap.pixels.size(); i += 3) bitmap.pixels[i] = r, bitmap.pixels[i + 1] = g, bitmap.pixels[i + 2] = b;
        return bitmap;
    };
    const std::vector<SceneCase> cases = {
        {"mid-grey", picture(300, 200, uniform(128)), 128 / 255.0, 0, 0, 0.5, 0, 0, 0, 0, 0, 1 - (128 / 255.0 - 0.5) / 0.45, 1, 1,
         std::nullopt},
        {"mid-grey, one channel", picture(64, 64, uniform(128), 1), 128 / 255.0, 0, 0, 0.5, 0, 0, 0, 0, 0, any, 1, 1, std::nullopt},
        {"mid-grey, opaque RGBA", picture(64, 64, uniform(128), 4), 128 / 255.0, 0, 0, 0.5, 0, 0, 0, 0, 0, any, 1, 1, std::nullopt},
        {"white", picture(200, 300, uniform(255)), 1, 0, 0, 0.5, 1, 0, 0, 0, 0, 0, 0, 1, std::nullopt},
        {"black", picture(160, 160, uniform(0)), 0, 0, 0, 0.5, 0, 1, 0, 0, 0, 0, 1, 1, std::nullopt},
        {"pure red", colour(160, 160, 255, 0, 0), 0.2126, 0, 1, 1, 0, 0, 0, 0, 0, any, 1, 1, std::nullopt},
        {"vertical stripes", picture(160, 160, [](int x, int) { return std::uint8_t(x / 2 % 2 ? 255 : 0); }), 0.5, 1, 0, 0.5, 0.5, 0.5,
         any, any, 0, 1, any, any, Extraction::FocusPoint{-1, -1}},
        {"detail on the left half only",
         picture(160, 160, [](int x, int y) { return std::uint8_t(x < 60 && (x / 2 + y / 2) % 2 ? 255 : 0); }), any, any, 0, 0.5,
         any, any, any, any, any, any, any, 0, Extraction::FocusPoint{-1, -1}},
        {"sharp patch near the top-left", picture(160, 160, patchNearTopLeft), any, any, 0, 0.5, any, any, any, any, any, any, any, any,
         Extraction::FocusPoint{(12 + 10) / 160.0, (22 + 10) / 160.0}},
    };
    for (const SceneCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<LocalAnalysis> analysis = Extraction::localAnalysis(c.image, {});
        ASSERT_TRUE(analysis);
        const auto& s = analysis->scene;
        const auto& q = analysis->quality;
        auto expect = [](const char* what, double actual, double expected) {
            if (!std::isnan(expected)) {
                EXPECT_NEAR(actual, expected, 1e-9) << what;
            }
            EXPECT_GE(actual, 0) << what;
            EXPECT_LE(actual, 1) << what;
        };
        expect("luma", s.luma, c.luma);
        expect("contrast", s.contrast, c.contrast);
        expect("saturation", s.saturation, c.saturation);
        expect("warmth", s.warmth, c.warmth);
        expect("highlightRate", s.highlightRate, c.highlightRate);
        expect("shadowRate", s.shadowRate, c.shadowRate);
        expect("edgeDensity", s.edgeDensity, c.edgeDensity);
        expect("focus", q.focus, c.focus);
        expect("motion", q.motion, c.motion);
        expect("exposure", q.exposure, c.exposure);
        expect("highlightSafety", q.highlightSafety, c.highlightSafety);
        expect("composition", q.composition, c.composition);
        EXPECT_EQ(analysis->version, 2);
        EXPECT_TRUE(analysis->faces.empty());
        EXPECT_FALSE(analysis->eyePoint);
        EXPECT_FALSE(q.faceVisibility);
        EXPECT_FALSE(q.eyesOpen);
        EXPECT_FALSE(q.expression);
        ASSERT_EQ(analysis->focusPoint.has_value(), c.focusPoint.has_value());
        if (c.focusPoint && c.focusPoint->x >= 0) {
            EXPECT_DOUBLE_EQ(analysis->focusPoint->x, c.focusPoint->x);
            EXPECT_DOUBLE_EQ(analysis->focusPoint->y, c.focusPoint->y);
        }
    }
}

TEST(LocalAnalysis, DetailMakesFocusAndEdgesRise) {
    // The same checkerboard, blurred a little in one copy: the sharp one scores higher.
    auto sharp = picture(160, 160, [](int x, int y) { return std::uint8_t((x / 4 + y / 4) % 2 ? 230 : 25); });
    auto soft = picture(160, 160, [](int x, int y) {
        int phase = (x % 8 + y % 8);
        return std::uint8_t(128 + 40 * std::sin(phase * M_PI / 8));
    });
    auto a = Extraction::localAnalysis(sharp, {});
    auto b = Extraction::localAnalysis(soft, {});
    ASSERT_TRUE(a && b);
    EXPECT_GT(a->quality.focus, b->quality.focus);
    EXPECT_GT(a->scene.edgeDensity, b->scene.edgeDensity);
    EXPECT_NEAR(a->quality.motion, 1, 1e-9);  // as much detail across as along
}

TEST(LocalAnalysis, UnusableBitmapsGiveNothing) {
    Imaging::Bitmap wrongSize(10, 10, 3);
    wrongSize.pixels.resize(20);
    Imaging::Bitmap twoChannels(4, 4, 2);
    for (const Imaging::Bitmap& bitmap : {Imaging::Bitmap{}, Imaging::Bitmap(0, 10, 3), wrongSize, twoChannels}) {
        EXPECT_FALSE(Extraction::localAnalysis(bitmap));
        EXPECT_FALSE(Extraction::featurePrint(bitmap));
    }
}

TEST(LocalAnalysis, DetectorThatFindsNothingGivesTheNoFaceMeasures) {
    // A featureless picture has no face whatever the detector; its absence counts as none too.
    auto analysis = Extraction::localAnalysis(picture(200, 120, uniform(90)));
    ASSERT_TRUE(analysis);
    EXPECT_TRUE(analysis->faces.empty());
    EXPECT_FALSE(analysis->quality.faceVisibility);
    EXPECT_DOUBLE_EQ(analysis->quality.composition, 1);
}

// ---- Faces ---------------------------------------------------------------------

struct FaceCase {
    const char* name;
    std::vector<Vision::FaceObservation> observations;
    std::vector<Extraction::FaceEvidence> faces;
    std::optional<Extraction::FocusPoint> eye;
    double visibility, composition;  // NAN: no face
};

TEST(FaceEvidence, ReadsBoxesAndTheEyeOfTheLargestFace) {
    const double side10 = std::sqrt(0.1);  // a square face covering 10 % of the picture
    auto withEyes = [](Vision::FaceObservation f, std::vector<Vision::Point> left, std::vector<Vision::Point> right) {
        f.landmarks = Vision::Landmarks{};
        f.landmarks->leftEye = std::move(left);
        f.landmarks->rightEye = std::move(right);
        return f;
    };
    const double thirdsAtHalf = 1 - (0.5 - 1.0 / 3.0) / 0.45;
    const std::vector<FaceCase> cases = {
        {"no observation", {}, {}, std::nullopt, NAN, NAN},
        {"one face on the left third, 10 % of the picture",
         {face(1.0 / 3.0 - side10 / 2, 0.5 - side10 / 2, side10, side10)},
         {{1.0 / 3.0, 0.5, 0.1}},
         std::nullopt,
         0.35 + 0.65 * (0.1 / 0.12),
         1.0},
        {"large face touching the left border",
         {face(0, 0.1, 0.1, 0.8)},
         {{0.05, 0.5, 0.08}},
         std::nullopt,
         0.35 * (0.05 / 0.22) + 0.65 * (0.08 / 0.12),
         0.6 * (1 - (1.0 / 3.0 - 0.05) / 0.45) + 0.4 * 0.8},
        {"y is measured from the top",
         {face(0.4, 0.1, 0.2, 0.2)},
         {{0.5, 0.8, 0.04}},
         std::nullopt,
         0.35 * (0.2 / 0.22) + 0.65 * (0.04 / 0.12),
         0.6 * thirdsAtHalf + 0.4 * 0.4},
        {"eye of the largest face; the wider right eye wins",
         {withEyes(face(0.0, 0.0, 0.2, 0.2), ring(0.3, 0.6, 0.1, 0.1), {}),
          withEyes(face(0.5, 0.2, 0.4, 0.5), ring(0.3, 0.6, 0.05, 0.05), ring(0.7, 0.6, 0.1, 0.05))},
         {{0.1, 0.9, 0.04}, {0.7, 0.55, 0.2}},
         Extraction::FocusPoint{0.5 + 0.7 * 0.4, 1 - (0.2 + 0.6 * 0.5)},
         NAN,
         NAN},
        {"equal spreads keep the left eye; equal areas keep the earlier face",
         {withEyes(face(0.1, 0.1, 0.3, 0.3), ring(0.25, 0.5, 0.125, 0.125), ring(0.75, 0.5, 0.125, 0.125)),
          withEyes(face(0.6, 0.6, 0.3, 0.3), ring(0.5, 0.5, 0.25, 0.25), {})},
         {{0.25, 0.75, 0.09}, {0.75, 0.25, 0.09}},
         Extraction::FocusPoint{0.1 + 0.25 * 0.3, 1 - (0.1 + 0.5 * 0.3)},
         NAN,
         NAN},
        {"only a right eye", {withEyes(face(0.2, 0.2, 0.5, 0.5), {}, {{0.6, 0.4}})}, {{0.45, 0.55, 0.25}},
         Extraction::FocusPoint{0.2 + 0.6 * 0.5, 1 - (0.2 + 0.4 * 0.5)}, NAN, NAN},
        {"landmarks without eyes", {withEyes(face(0.2, 0.2, 0.5, 0.5), {}, {})}, {{0.45, 0.55, 0.25}}, std::nullopt, NAN, NAN},
        {"eye outside the picture is clamped", {withEyes(face(0.9, 0.9, 0.2, 0.2), {{0.9, 0.9}}, {})}, {{1.0, 0.0, 0.04}},
         Extraction::FocusPoint{1, 0}, NAN, NAN},
        {"a box that is not finite is no face", {face(NAN, 0.2, 0.1, 0.1), face(0.2, 0.2, 0.2, 0.2)}, {{0.3, 0.7, 0.04}},
         std::nullopt, NAN, NAN},
    };
    auto grey = picture(160, 160, uniform(128));
    for (const FaceCase& c : cases) {
        SCOPED_TRACE(c.name);
        FaceFindings findings = Extraction::faceEvidence(c.observations);
        ASSERT_EQ(findings.faces.size(), c.faces.size());
        for (std::size_t i = 0; i < c.faces.size(); ++i) {
            EXPECT_NEAR(findings.faces[i].x, c.faces[i].x, 1e-12);
            EXPECT_NEAR(findings.faces[i].y, c.faces[i].y, 1e-12);
            EXPECT_NEAR(findings.faces[i].area, c.faces[i].area, 1e-12);
        }
        ASSERT_EQ(findings.eye.has_value(), c.eye.has_value());
        if (c.eye) {
            EXPECT_NEAR(findings.eye->x, c.eye->x, 1e-12);
            EXPECT_NEAR(findings.eye->y, c.eye->y, 1e-12);
        }

        auto analysis = Extraction::localAnalysis(grey, c.observations);
        ASSERT_TRUE(analysis);
        EXPECT_EQ(analysis->faces.size(), c.faces.size());
        EXPECT_EQ(analysis->eyePoint.has_value(), c.eye.has_value());
        EXPECT_EQ(analysis->quality.faceVisibility.has_value(), !c.faces.empty());
        if (!std::isnan(c.visibility)) {
            EXPECT_NEAR(*analysis->quality.faceVisibility, c.visibility, 1e-12);
        }
        if (!std::isnan(c.composition)) {
            EXPECT_NEAR(analysis->quality.composition, c.composition, 1e-12);
        }
    }
}

TEST(FaceEvidence, MeansOverSeveralFaces) {
    std::vector<Vision::FaceObservation> two = {face(0.0, 0.1, 0.1, 0.8), face(1.0 / 3.0 - 0.1, 0.4, 0.2, 0.2)};
    auto analysis = Extraction::localAnalysis(picture(160, 160, uniform(128)), two);
    ASSERT_TRUE(analysis);
    double v1 = 0.35 * (0.05 / 0.22) + 0.65 * (0.08 / 0.12), v2 = 0.35 + 0.65 * (0.04 / 0.12);
    double p1 = 0.6 * (1 - (1.0 / 3.0 - 0.05) / 0.45) + 0.4 * 0.8, p2 = 0.6 + 0.4 * 0.4;
    EXPECT_NEAR(*analysis->quality.faceVisibility, (v1 + v2) / 2, 1e-12);
    EXPECT_NEAR(analysis->quality.composition, (p1 + p2) / 2, 1e-12);
}

// ---- JSON ----------------------------------------------------------------------

TEST(LocalAnalysisJSON, KeysInOrderAndAbsentMembersLeftOut) {
    Vision::FaceObservation withEye = face(0.3, 0.3, 0.3, 0.3);
    withEye.landmarks = Vision::Landmarks{};
    withEye.landmarks->leftEye = ring(0.3, 0.6, 0.1, 0.1);
    auto full = Extraction::localAnalysis(picture(160, 160, patchNearTopLeft), {withEye});
    auto bare = Extraction::localAnalysis(picture(160, 160, uniform(128)), {});
    ASSERT_TRUE(full && bare);

    nlohmann::ordered_json a = Extraction::toJSON(*full), b = Extraction::toJSON(*bare);
    using Keys = std::vector<std::string>;
    EXPECT_EQ(keys(a), (Keys{"version", "scene", "faces", "eyePoint", "focusPoint", "quality"}));
    EXPECT_EQ(keys(b), (Keys{"version", "scene", "faces", "quality"}));
    for (const auto& json : {a, b})
        EXPECT_EQ(keys(json["scene"]), (Keys{"luma", "contrast", "saturation", "warmth", "highlightRate", "shadowRate", "edgeDensity"}));
    EXPECT_EQ(keys(a["quality"]), (Keys{"focus", "motion", "exposure", "highlightSafety", "faceVisibility", "composition"}));
    EXPECT_EQ(keys(b["quality"]), (Keys{"focus", "motion", "exposure", "highlightSafety", "composition"}));
    EXPECT_EQ(keys(a["faces"][0]), (Keys{"x", "y", "area"}));
    EXPECT_EQ(keys(a["eyePoint"]), (Keys{"x", "y"}));
    EXPECT_EQ(keys(a["focusPoint"]), (Keys{"x", "y"}));
    EXPECT_EQ(a["version"], 2);
    EXPECT_TRUE(b["faces"].is_array() && b["faces"].empty());
    EXPECT_EQ(b.dump().find("null"), std::string::npos);
    EXPECT_DOUBLE_EQ(a["focusPoint"]["y"].get<double>(), full->focusPoint->y);

    // Doubles survive the text form unchanged.
    auto reread = nlohmann::ordered_json::parse(a.dump());
    EXPECT_EQ(reread["scene"]["luma"].get<double>(), full->scene.luma);
    EXPECT_EQ(reread["quality"]["faceVisibility"].get<double>(), *full->quality.faceVisibility);
}

// ---- Real photos ---------------------------------------------------------------

TEST(LocalAnalysis, RealPreviewsGiveBoundedMeasuresAndAPrint) {
    REQUIRE_FIXTURES();
    for (const char* name : {"faces/facerec_obama.jpg", "faces/immich_portrait.jpg", "jpeg_camera/ianare_DSCN0010.jpg"}) {
        SCOPED_TRACE(name);
        auto source = Extraction::open(TestSupport::fixture(name));
        ASSERT_TRUE(source);
        auto preview = Extraction::preview(*source, 400, true, true);
        ASSERT_TRUE(preview);
        auto analysis = Extraction::localAnalysis(*preview);
        ASSERT_TRUE(analysis);
        nlohmann::ordered_json json = Extraction::toJSON(*analysis);
        for (const char* group : {"scene", "quality"}) {
            for (auto it = json[group].begin(); it != json[group].end(); ++it) {
                EXPECT_GE(it.value().get<double>(), 0) << it.key();
                EXPECT_LE(it.value().get<double>(), 1) << it.key();
            }
        }
        EXPECT_TRUE(analysis->focusPoint);  // a real photo has a sharpest region
        EXPECT_GT(analysis->quality.focus, 0);
        EXPECT_EQ(Extraction::featurePrint(*preview)->size(), 4096u);

        // With a working detector, a portrait has its face and an eye.
        if (std::string(name).find("faces/") == 0 && Vision::detectFaces(*preview)) {
            EXPECT_FALSE(analysis->faces.empty());
            EXPECT_TRUE(analysis->quality.faceVisibility);
            EXPECT_TRUE(analysis->eyePoint);
        }
    }
}
