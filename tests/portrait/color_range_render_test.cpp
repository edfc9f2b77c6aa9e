// The colour-range retouch pass end to end on real portraits: `gelatin serve`
// develop requests with the portrait values, compared with the render
// without them; and interactive re-renders through the develop pipeline,
// which must reuse the prepared smoothing.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/develop/render.h"
#include "engine/imaging/image.h"
#include "engine/portrait/color_range_pass.h"
#include "engine/vision/person_segmentation.h"
#include "support/support.h"
#include "vision/face_pictures.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const char* const woman = "portraits/webmorph_london030_eastasian_woman_smile.jpg";  // open smile, teeth
const char* const man = "portraits/webmorph_london008_westasian_man_smile.jpg";
const char* const twoGirls = "portraits/singnet_laos_two_girls.jpg";

// One develop request answered by its own `gelatin serve` (requests of one
// process run at the same time, and the reported spots are the process's).
json develop(const fs::path& out, const std::string& photo, const json& look, bool interactive = false,
             bool overlay = false) {
    json request{{"id", 1}, {"src", TestSupport::fixture(photo).string()}, {"out", out.string()}, {"develop", true},
                 {"max", 0}, {"look", look}};
    if (interactive) request["interactive"] = true;
    if (overlay) request["skinMaskOverlay"] = true;
    const auto result = TestSupport::run(TestSupport::gelatin(), {"serve"}, request.dump() + "\n");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const auto lines = TestSupport::lines(result.out);
    if (lines.size() != 1) {
        ADD_FAILURE() << result.out;
        return json::object();
    }
    json reply = json::parse(lines[0]);
    EXPECT_TRUE(reply.value("ok", false)) << reply;
    return reply;
}

cv::Mat rendered(const fs::path& file) { return cv::imread(file.string(), cv::IMREAD_COLOR); }

// The selection of the photo as the pass makes it (faces, landmarks, bounds).
ColorRangeSkin::Result selectionOf(const std::string& photo) {
    const Imaging::Image image = Imaging::fromBitmap(FacePictures::bitmap(FacePictures::load(photo)));
    return ColorRangeSkin::make(image);
}

// Stored rows of a picture rectangle (origin bottom-left) of a picture H high.
cv::Rect rows(const Imaging::Rect& r, int H) { return cv::Rect(r.x, H - r.maxY(), r.width, r.height); }

// A rectangle grown by `margin` and then out to whole 16-pixel JPEG blocks, clipped to the picture.
cv::Rect blocks(const cv::Rect& r, int margin, cv::Size size) {
    const int x0 = std::max(0, (r.x - margin) / 16 * 16), y0 = std::max(0, (r.y - margin) / 16 * 16);
    const int x1 = std::min(size.width, (r.br().x + margin + 15) / 16 * 16);
    const int y1 = std::min(size.height, (r.br().y + margin + 15) / 16 * 16);
    return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

// Where two renders differ (any channel), as a 0/255 plane.
cv::Mat changed(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff, sum;
    cv::absdiff(a, b, diff);
    cv::transform(diff, sum, cv::Matx13f(1, 1, 1));
    return sum > 0;
}

// A landmark region's points in stored-row pixels.
std::vector<cv::Point> pixels(const Vision::FaceObservation& f, const std::vector<Vision::Point>& points, cv::Size size) {
    std::vector<cv::Point> out;
    for (const auto& p : points)
        out.emplace_back(int(std::lround(size.width * (f.boundingBox.x + p.x * f.boundingBox.width))),
                         int(std::lround(size.height * (1 - f.boundingBox.y - p.y * f.boundingBox.height))));
    return out;
}

cv::Mat polygon(const std::vector<cv::Point>& points, cv::Size size) {
    cv::Mat m = cv::Mat::zeros(size, CV_8U);
    if (points.size() >= 3) cv::fillPoly(m, std::vector<std::vector<cv::Point>>{points}, 255);
    return m;
}

cv::Rect boxOf(const std::vector<cv::Point>& points) { return cv::boundingRect(points); }

// The face's skin sample (its cheeks and nose), in stored rows.
cv::Rect cheeks(const Vision::FaceObservation& f, cv::Size size) {
    const auto s = ColorRangeSkin::sampleRectangle(f.boundingBox, size.width, size.height);
    return cv::Rect(int(s.x), int(size.height - s.y - s.height), int(s.width), int(s.height)) & cv::Rect({}, size);
}

#define REQUIRE_PORTRAIT_MODELS()                                                                           \
    do {                                                                                                    \
        REQUIRE_FIXTURES();                                                                                 \
        ASSERT_TRUE(PersonSegmentation::locate()) << "the person segmentation model is missing (scripts/fetch-selfie)"; \
    } while (0)

}  // namespace

TEST(ColorRangeRender, BlemishSpotsAreReportedForInteractiveOverlaysThatHealSpots) {
    REQUIRE_PORTRAIT_MODELS();
    TestSupport::TempDir dir;
    struct Row {
        const char* name;
        json look;
        bool interactive, overlay, reported;
    };
    const json spots{{"skinSpots", 60}, {"skinRangeSmooth", 30}};
    const json brushed{{"skinSpotAdd", json::array({json::array({0.52, 0.62, 0.004})})}};
    const std::vector<Row> table{
        {"interactive overlay with spots", spots, true, true, true},
        {"interactive overlay with a brushed spot", brushed, true, true, true},
        {"interactive overlay without spots", {{"skinRangeSmooth", 30}}, true, true, false},
        {"interactive render without the overlay", spots, true, false, false},
        {"overlay asked outside interactive editing", spots, false, true, false},
        {"export", spots, false, false, false},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        const json reply = develop(dir / "out.jpg", man, row.look, row.interactive, row.overlay);
        ASSERT_EQ(reply.contains("blemishSpots"), row.reported) << reply;
        if (!row.reported) continue;
        const auto wire = reply.at("blemishSpots").get<std::vector<std::vector<double>>>();
        ASSERT_FALSE(wire.empty());
        for (const auto& spot : wire) {
            ASSERT_EQ(spot.size(), 4u);
            for (int i = 0; i < 3; ++i) EXPECT_TRUE(spot[i] >= 0 && spot[i] <= 1) << spot[i];
            EXPECT_TRUE(spot[3] >= 0 && spot[3] <= 4 && spot[3] == std::floor(spot[3]));
        }
        if (row.look.contains("skinSpotAdd")) {
            ASSERT_EQ(wire.size(), 1u) << "only the brushed spot";
            EXPECT_NEAR(wire[0][0], 0.52, 0.002);
            EXPECT_TRUE(wire[0][3] == 4 || wire[0][3] == 3);
        }
        // The same rows in the same order as the pass reported them to the renderer.
        Develop::RenderRequest request;
        request.source = TestSupport::fixture(man);
        request.look = *Develop::decodeLook(row.look);
        request.dest = dir / "in-process.jpg";
        request.interactive = true;
        request.showSkinMask = true;
        const auto inProcess = Develop::renderToJPEG(request);
        ASSERT_TRUE(inProcess && inProcess->blemishSpots);
        EXPECT_EQ(*inProcess->blemishSpots, wire);
    }
}

TEST(ColorRangeRender, OverlayTintsSkinButNotBackgroundEyesOrLips) {
    REQUIRE_PORTRAIT_MODELS();
    TestSupport::TempDir dir;
    for (const char* photo : {woman, man, twoGirls}) {
        SCOPED_TRACE(photo);
        develop(dir / "neutral.jpg", photo, json::object());
        develop(dir / "overlay.jpg", photo, {{"skinRangeSmooth", 40}}, true, true);
        const cv::Mat neutral = rendered(dir / "neutral.jpg"), overlay = rendered(dir / "overlay.jpg");
        ASSERT_EQ(neutral.size(), overlay.size());
        const cv::Size size = neutral.size();
        const ColorRangeSkin::Result selection = selectionOf(photo);
        ASSERT_FALSE(selection.faces.empty());
        for (const auto& face : selection.faces) {
            const cv::Rect cheek = cheeks(face, size);
            const cv::Scalar before = cv::mean(neutral(cheek)), after = cv::mean(overlay(cheek));
            EXPECT_GT(after[2] - before[2], 40) << "red rises on the cheeks";
            EXPECT_LT(after[1] - before[1], -40) << "green falls";
            const auto& l = *face.landmarks;
            for (const auto* region : {&l.leftEye, &l.rightEye, &l.outerLips}) {
                const cv::Mat where = polygon(pixels(face, *region, size), size);
                if (!cv::countNonZero(where)) continue;
                const cv::Scalar b = cv::mean(neutral, where), a = cv::mean(overlay, where);
                EXPECT_LT(a[2] - b[2], 15) << "eyes and lips are protected";
                EXPECT_GT(a[1] - b[1], -15);
            }
        }
        // The backdrop: the top corners.
        const cv::Rect corners[] = {cv::Rect(0, 0, size.width / 8, size.height / 10),
                                    cv::Rect(size.width * 7 / 8, 0, size.width / 8, size.height / 10)};
        for (const cv::Rect& c : corners) EXPECT_EQ(cv::norm(neutral(c), overlay(c), cv::NORM_INF), 0);
    }
}

TEST(ColorRangeRender, EachControlChangesItsOwnPlaceOnly) {
    REQUIRE_PORTRAIT_MODELS();
    TestSupport::TempDir dir;
    develop(dir / "neutral.jpg", woman, json::object());
    const cv::Mat neutral = rendered(dir / "neutral.jpg");
    const cv::Size size = neutral.size();
    const ColorRangeSkin::Result selection = selectionOf(woman);
    ASSERT_EQ(selection.regions.size(), 1u);
    const auto& face = selection.faces[0];
    const auto& l = *face.landmarks;
    const cv::Rect bounds = rows(selection.regions[0].bounds, size.height);
    const cv::Rect eyes = boxOf(pixels(face, l.leftEye, size)) | boxOf(pixels(face, l.rightEye, size));
    const cv::Rect mouth = boxOf(pixels(face, l.outerLips, size));
    const cv::Mat eyeWhere = polygon(pixels(face, l.leftEye, size), size) | polygon(pixels(face, l.rightEye, size), size);
    const cv::Mat mouthWhere = polygon(pixels(face, l.innerLips, size), size);
    const cv::Rect cheek = cheeks(face, size);

    struct Row {
        const char* name;
        json look;
        cv::Rect allowed;  // where it may change anything
        cv::Mat where;     // where it must change the picture
    };
    cv::Mat cheekWhere = cv::Mat::zeros(size, CV_8U);
    cheekWhere(cheek).setTo(255);
    cv::Mat faceWhere = cv::Mat::zeros(size, CV_8U);
    faceWhere(bounds).setTo(255);
    const int margin = int(0.02 * selection.regions[0].faceWidth);
    const std::vector<Row> table{
        {"smoothing", {{"skinRangeSmooth", 100}}, bounds, cheekWhere},
        {"eye whites", {{"eyeWhites", 100}}, eyes, eyeWhere},
        {"teeth", {{"teethWhiten", 100}}, mouth, mouthWhere},
        {"evenness", {{"skinRangeTone", 100}}, bounds, cheekWhere},
        {"under-eye", {{"skinRangeUnderEye", 100}}, bounds, faceWhere},
        {"spots", {{"skinSpots", 100}}, bounds, faceWhere},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        develop(dir / "control.jpg", woman, row.look);
        const cv::Mat out = rendered(dir / "control.jpg");
        ASSERT_EQ(out.size(), size);
        const cv::Mat moved = changed(neutral, out);
        EXPECT_GT(cv::countNonZero(moved & row.where), 0) << "the control changes its place";
        cv::Mat outside = moved.clone();
        outside(blocks(row.allowed, margin, size)).setTo(0);
        EXPECT_EQ(cv::countNonZero(outside), 0) << "changed outside " << blocks(row.allowed, margin, size);
        // Nothing at all changes outside the face's bounds.
        cv::Mat beyond = moved.clone();
        beyond(blocks(bounds, margin, size)).setTo(0);
        EXPECT_EQ(cv::countNonZero(beyond), 0);
    }
}

TEST(ColorRangeRender, AFacesOwnSmoothingSmoothsThatFaceAlone) {
    REQUIRE_PORTRAIT_MODELS();
    TestSupport::TempDir dir;
    develop(dir / "neutral.jpg", twoGirls, json::object());
    const cv::Mat neutral = rendered(dir / "neutral.jpg");
    const cv::Size size = neutral.size();
    const ColorRangeSkin::Result selection = selectionOf(twoGirls);
    ASSERT_EQ(selection.regions.size(), 2u);
    for (std::size_t own = 0; own < 2; ++own) {
        SCOPED_TRACE(own);
        const Vision::Rect& b = selection.faces[own].boundingBox;
        const json look{{"skinRangeSmooth", 0},
                        {"skinFaces", json::array({{{"at", {b.x + b.width / 2, 1 - (b.y + b.height / 2)}},
                                                    {"skinRangeSmooth", 100}}})}};
        develop(dir / "own.jpg", twoGirls, look);
        const cv::Mat out = rendered(dir / "own.jpg");
        const cv::Mat moved = changed(neutral, out);
        const cv::Rect mine = rows(selection.regions[own].bounds, size.height);
        const int margin = int(0.02 * selection.regions[own].faceWidth);
        EXPECT_GT(cv::countNonZero(moved(cheeks(selection.faces[own], size))), 0) << "this face is smoothed";
        cv::Mat outside = moved.clone();
        outside(blocks(mine, margin, size)).setTo(0);
        EXPECT_EQ(cv::countNonZero(outside), 0) << "nothing else is, the other face included";
    }
}

TEST(ColorRangeRender, ReRendersOfSmoothingWhitesAndTeethReuseThePreparedSmoothing) {
    REQUIRE_PORTRAIT_MODELS();
    TestSupport::TempDir dir;
    Develop::Look look;
    look.skinRangeSmooth = 50;
    look.skinSpots = 50;
    look.skinRangeTone = 30;
    look.skinRangeUnderEye = 30;
    look.eyeWhites = 40;
    look.teethWhiten = 40;
    Develop::RenderRequest request;
    request.source = TestSupport::fixture(woman);
    request.dest = dir / "edit.jpg";
    request.longEdge = 1024;
    request.interactive = true;
    const auto since = [](const ColorRangeSkin::Work& before) {
        const ColorRangeSkin::Work now = ColorRangeSkin::work();
        return ColorRangeSkin::Work{now.selections - before.selections, now.spotHealings - before.spotHealings,
                                    now.preparations - before.preparations};
    };
    request.look = look;
    auto before = ColorRangeSkin::work();
    ASSERT_TRUE(Develop::renderToJPEG(request));
    auto done = since(before);
    EXPECT_EQ(done.selections, 1u);
    EXPECT_EQ(done.spotHealings, 1u);
    EXPECT_EQ(done.preparations, 1u);
    const std::string first = TestSupport::readFile(request.dest);

    struct Row {
        const char* name;
        std::function<void(Develop::Look&)> change;
    };
    for (const Row& row : {Row{"smoothing", [](Develop::Look& l) { l.skinRangeSmooth = 80; }},
                           Row{"eye whites", [](Develop::Look& l) { l.eyeWhites = 90; }},
                           Row{"teeth", [](Develop::Look& l) { l.teethWhiten = 10; }},
                           Row{"all three", [](Develop::Look& l) {
                                   l.skinRangeSmooth = 20;
                                   l.eyeWhites = 0;
                                   l.teethWhiten = 100;
                               }}}) {
        SCOPED_TRACE(row.name);
        request.look = look;
        row.change(request.look);
        before = ColorRangeSkin::work();
        ASSERT_TRUE(Develop::renderToJPEG(request));
        done = since(before);
        EXPECT_EQ(done.selections, 0u);
        EXPECT_EQ(done.spotHealings, 0u);
        EXPECT_EQ(done.preparations, 0u);
        EXPECT_NE(TestSupport::readFile(request.dest), first);
    }
    // Evenness is part of the preparation: a new one, on the same selection.
    request.look = look;
    request.look.skinRangeTone = 60;
    before = ColorRangeSkin::work();
    ASSERT_TRUE(Develop::renderToJPEG(request));
    done = since(before);
    EXPECT_EQ(done.selections, 0u);
    EXPECT_EQ(done.preparations, 1u);
}
