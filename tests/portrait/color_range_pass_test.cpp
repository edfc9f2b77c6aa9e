// The colour-range retouch pass on a generated two-face picture with scripted
// faces: the look's values, the two caches, spots in overlay mode and healed,
// per-face smoothing, textures and the failure rule.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <thread>

#include "engine/healing/spot_heal.h"
#include "engine/imaging/image.h"
#include "engine/portrait/color_range_pass.h"
#include "engine/portrait/multiscale_skin.h"
#include "engine/portrait/portrait_retouch.h"

namespace {

using Develop::Look;
using Imaging::Image;
using Imaging::Pixel;

constexpr int W = 640, H = 400;

Pixel ycc(double y, double cb, double cr) {
    return {float(y + 1.402 * cr), float(y - 0.344136 * cb - 0.714136 * cr), float(y + 1.772 * cb), 1};
}

// Eight points of an ellipse given in pixels, as fractions of the face box b (origin bottom-left).
std::vector<Vision::Point> ring(const Vision::Rect& b, double cx, double cy, double rx, double ry) {
    std::vector<Vision::Point> out;
    for (int k = 0; k < 8; ++k) {
        const double a = k * M_PI / 4;
        out.push_back({((cx + rx * std::cos(a)) / W - b.x) / b.width, ((cy + ry * std::sin(a)) / H - b.y) / b.height});
    }
    return out;
}

struct Face {
    Vision::Rect box;  // fractions, origin bottom-left
    double cx() const { return W * (box.x + box.width / 2); }
    double cy() const { return H * (box.y + box.height / 2); }
    double width() const { return W * box.width; }
};

// Two faces: an oval of grainy skin each, two open eyes with light sclera, an
// open yellowish mouth, and a few dark blemishes on the cheeks, over a cool
// grey backdrop.
const std::vector<Face> faces{{{0.06, 0.18, 0.36, 0.6}}, {{0.56, 0.24, 0.3, 0.5}}};

const Image& picture() {
    static const Image image = [] {
        Image out = Image::filled({0, 0, W, H}, ycc(0.45, 0.04, -0.03));
        std::uint32_t state = 11;
        for (int row = 0; row < H; ++row)
            for (int col = 0; col < W; ++col) {
                state = state * 1664525u + 1013904223u;
                const double grain = (double((state >> 24) % 21) - 10) / 400;
                const double x = col + 0.5, y = H - row - 0.5;
                for (const Face& f : faces) {
                    const double u = (x - f.cx()) / (0.5 * f.width()), v = (y - f.cy()) / (0.5 * H * f.box.height);
                    if (u * u + v * v >= 1) continue;
                    Pixel p = ycc(0.6 + grain, -0.05, 0.07);
                    const double e = f.width() * 0.22;  // eye width
                    for (const double side : {-1.0, 1.0}) {
                        const double ex = f.cx() + side * 0.22 * f.width(), ey = f.cy() + 0.12 * H * f.box.height;
                        if (std::hypot((x - ex) / (e / 2), (y - ey) / (e / 5)) < 1) p = ycc(0.8, 0.005, 0.005);
                        const double bx = ex + 0.02 * f.width(), by = f.cy() - 0.12 * H * f.box.height;
                        if (std::hypot(x - bx, y - by) < 3.5) p = ycc(0.42, -0.02, 0.1);  // a blemish
                    }
                    const double mx = f.cx(), my = f.cy() - 0.3 * H * f.box.height;
                    if (std::hypot((x - mx) / (0.15 * f.width()), (y - my) / (0.04 * f.width())) < 1)
                        p = ycc(0.7, -0.07, 0.03);
                    out.at(col, row) = p;
                }
            }
        return out;
    }();
    return image;
}

std::vector<Vision::FaceObservation> observations() {
    std::vector<Vision::FaceObservation> out;
    for (const Face& f : faces) {
        Vision::FaceObservation o;
        o.boundingBox = f.box;
        o.confidence = 0.95f;
        Vision::Landmarks l;
        const double e = f.width() * 0.22;
        const double ey = f.cy() + 0.12 * H * f.box.height;
        l.rightEye = ring(f.box, f.cx() - 0.22 * f.width(), ey, e / 2, e / 5);
        l.leftEye = ring(f.box, f.cx() + 0.22 * f.width(), ey, e / 2, e / 5);
        const double my = f.cy() - 0.3 * H * f.box.height;
        l.innerLips = ring(f.box, f.cx(), my, 0.15 * f.width(), 0.04 * f.width());
        l.outerLips = ring(f.box, f.cx(), my, 0.17 * f.width(), 0.06 * f.width());
        o.landmarks = l;
        out.push_back(o);
    }
    return out;
}

// The scripted analysis: the whole picture is the person, with the two faces (or none).
ColorRangeSkin::Analyser scripted(bool withFaces = true) {
    return [withFaces](const Imaging::Bitmap&) {
        Imaging::Bitmap person(64, 40, 1);
        std::fill(person.pixels.begin(), person.pixels.end(), 255);
        return ColorRangeSkin::Analysis{person, withFaces ? observations() : std::vector<Vision::FaceObservation>{}};
    };
}

// Keys unique to each use, since the caches live for the process.
std::string fresh(const std::string& name) {
    static int n = 0;
    return name + "#" + std::to_string(++n);
}

struct Keys {
    std::string selection, prepared, spots;
};
Keys freshKeys() { return {fresh("selection"), fresh("prepared"), fresh("spots")}; }

std::optional<Image> pass(const Look& look, const Keys& k, bool showMask, bool cache, bool withFaces = true) {
    return ColorRangeSkin::apply(Image(picture()), look, k.selection, k.prepared, k.spots, showMask, cache, scripted(withFaces));
}

bool same(const Image& a, const Image& b) {
    return a.extent() == b.extent() && cv::norm(a.mat(), b.mat(), cv::NORM_INF) == 0;
}

// The stored rows of a face's box, shrunk to its central part.
cv::Rect inner(const Face& f, double share = 0.8) {
    const double w = f.width() * share, h = H * f.box.height * share;
    return cv::Rect(int(f.cx() - w / 2), int(H - f.cy() - h / 2), int(w), int(h));
}

double difference(const Image& a, const Image& b, const cv::Rect& rows) {
    return cv::norm(a.mat()(rows), b.mat()(rows), cv::NORM_INF);
}

ColorRangeSkin::Work operator-(const ColorRangeSkin::Work& a, const ColorRangeSkin::Work& b) {
    return {a.selections - b.selections, a.spotHealings - b.spotHealings, a.preparations - b.preparations};
}

Look::FaceSettings at(const Face& f) {
    Look::FaceSettings s;
    s.at = {f.cx() / W, 1 - f.cy() / H};
    return s;
}

}  // namespace

TEST(ColorRangePass, ValuesAreClampedPercentages) {
    struct Row {
        std::optional<double> smooth, texture;
        double expectedSmooth, expectedTexture;
    };
    for (const Row& r : {Row{150.0, 50.0, 1, 0.5}, Row{-3.0, 120.0, 0, 1}, Row{std::nullopt, std::nullopt, 0, 0.85},
                         Row{35.0, -1.0, 0.35, 0}, Row{NAN, NAN, 0, 0.85}}) {
        Look look;
        look.skinRangeSmooth = r.smooth;
        look.skinTexture = r.texture;
        const ColorRangeSkin::Values v = ColorRangeSkin::values(look);
        EXPECT_DOUBLE_EQ(v.smooth, r.expectedSmooth);
        EXPECT_DOUBLE_EQ(v.texture, r.expectedTexture);
    }
}

TEST(ColorRangePass, PerFaceAmountsOverrideTheLooksOwn) {
    Look look;
    look.eyeWhites = 40;
    look.skinRangeTone = 20;
    Look::FaceSettings second = at(faces[1]);
    second.eyeWhites = 250;
    second.teethWhiten = 10;
    look.skinFaces = std::vector<Look::FaceSettings>{second};
    ColorRangeSkin::Result selection;
    selection.faces = observations();
    const auto settings = ColorRangeSkin::faceSettings(look, selection, W, H);
    ASSERT_EQ(settings.size(), 2u);
    EXPECT_FALSE(settings[0]);
    ASSERT_TRUE(settings[1]);
    const auto amounts = ColorRangeSkin::amounts(ColorRangeSkin::values(look), settings);
    EXPECT_DOUBLE_EQ(amounts[0].whites, 0.4);
    EXPECT_DOUBLE_EQ(amounts[0].teeth, 0);
    EXPECT_DOUBLE_EQ(amounts[1].whites, 1);
    EXPECT_DOUBLE_EQ(amounts[1].teeth, 0.1);
    EXPECT_DOUBLE_EQ(amounts[1].even, 0.2);
}

TEST(ColorRangePass, ALookWithoutColourRangeValuesLeavesThePictureAndTheCaches) {
    const auto before = ColorRangeSkin::work();
    Look look;
    look.skinSmooth = 80;  // the experimental path's, not this pass's
    EXPECT_FALSE(pass(look, freshKeys(), false, true));
    EXPECT_FALSE(pass(look, freshKeys(), true, true));
    const auto done = ColorRangeSkin::work() - before;
    EXPECT_EQ(done.selections + done.spotHealings + done.preparations, 0u);
    // The picture given over is left as it was.
    Image given = picture();
    EXPECT_FALSE(ColorRangeSkin::apply(std::move(given), look, "s", "k", std::nullopt, false, true, scripted()));
    EXPECT_TRUE(same(given, picture()));
    EXPECT_EQ(given.mat().data, picture().mat().data);
}

TEST(ColorRangePass, OverlayReportsSpotsOnlyWhenAskedAndIsDrawnOnTheUnhealedPicture) {
    const Keys keys = freshKeys();
    const std::vector<std::vector<double>> sentinel{{9, 9, 9, 9}};
    PortraitBlemishes::setReported(sentinel);

    Look look;
    look.skinRangeSmooth = 50;
    auto before = ColorRangeSkin::work();
    const auto plain = pass(look, keys, true, true);
    ASSERT_TRUE(plain);
    EXPECT_EQ((ColorRangeSkin::work() - before).spotHealings, 0u);
    EXPECT_EQ(PortraitBlemishes::reported(), sentinel) << "no spot healing, nothing reported";
    // The selected skin is tinted towards red; the backdrop is not.
    const cv::Rect cheek = inner(faces[0], 0.15) + cv::Point(0, int(0.1 * H * faces[0].box.height));
    const cv::Scalar tinted = cv::mean(plain->mat()(cheek)), original = cv::mean(picture().mat()(cheek));
    EXPECT_GT(tinted[0] - original[0], 0.15);
    EXPECT_LT(tinted[1] - original[1], -0.2);
    EXPECT_EQ(difference(*plain, picture(), cv::Rect(0, 0, 20, 20)), 0);

    look.skinSpots = 60;
    before = ColorRangeSkin::work();
    const auto spotted = pass(look, keys, true, true);
    ASSERT_TRUE(spotted);
    EXPECT_EQ((ColorRangeSkin::work() - before).spotHealings, 1u);
    const auto reported = PortraitBlemishes::reported();
    ASSERT_TRUE(reported);
    ASSERT_FALSE(reported->empty());
    for (const auto& row : *reported) EXPECT_EQ(row.size(), 4u);
    EXPECT_TRUE(same(*spotted, *plain)) << "the overlay is drawn over the picture as it came, not the healed one";

    // Eye whites add the eyes to the overlay.
    look.eyeWhites = 50;
    const auto eyes = pass(look, keys, true, true);
    const Face& f = faces[0];
    // Beside the iris, which is left out.
    const cv::Rect eye(int(f.cx() - 0.22 * f.width() + 0.33 * 0.22 * f.width()) - 3, int(H - f.cy() - 0.12 * H * f.box.height) - 2, 6, 4);
    EXPECT_GT(cv::mean(eyes->mat()(eye))[0] - cv::mean(plain->mat()(eye))[0], 0.05);
}

TEST(ColorRangePass, CachedPreparationServesSmoothingWhitesAndTeethChanges) {
    const Keys keys = freshKeys();
    Look look;
    look.skinRangeSmooth = 50;
    look.skinSpots = 50;
    look.skinRangeTone = 30;
    look.skinRangeUnderEye = 30;
    look.eyeWhites = 40;
    look.teethWhiten = 40;
    auto before = ColorRangeSkin::work();
    ASSERT_TRUE(pass(look, keys, false, true));
    auto done = ColorRangeSkin::work() - before;
    EXPECT_EQ(done.selections, 1u);
    EXPECT_EQ(done.spotHealings, 1u);
    EXPECT_EQ(done.preparations, 1u);

    for (const auto& change : std::vector<std::function<void(Look&)>>{
             [](Look& l) { l.skinRangeSmooth = 90; }, [](Look& l) { l.eyeWhites = 80; },
             [](Look& l) { l.teethWhiten = 5; }, [](Look& l) { l.skinRangeSmooth = 0; }}) {
        Look changed = look;
        change(changed);
        before = ColorRangeSkin::work();
        const auto cached = pass(changed, keys, false, true);
        done = ColorRangeSkin::work() - before;
        EXPECT_EQ(done.selections + done.spotHealings + done.preparations, 0u) << "one blend and the feature touches";
        // The same picture as a pass that computes everything afresh.
        const auto afresh = pass(changed, freshKeys(), false, false);
        ASSERT_TRUE(cached && afresh);
        EXPECT_TRUE(same(*cached, *afresh));
    }
}

TEST(ColorRangePass, WithoutCachingSpotsAndSmoothingAreRecomputedButAnEarlierSelectionIsReused) {
    const Keys keys = freshKeys();
    Look look;
    look.skinRangeSmooth = 40;
    look.skinSpots = 40;
    auto before = ColorRangeSkin::work();
    ASSERT_TRUE(pass(look, keys, false, false));
    ASSERT_TRUE(pass(look, keys, false, false));
    EXPECT_EQ((ColorRangeSkin::work() - before).selections, 2u) << "nothing stored without caching";

    ASSERT_TRUE(pass(look, keys, true, true));  // stores the selection
    before = ColorRangeSkin::work();
    ASSERT_TRUE(pass(look, keys, false, false));
    ASSERT_TRUE(pass(look, keys, false, false));
    const auto done = ColorRangeSkin::work() - before;
    EXPECT_EQ(done.selections, 0u);
    EXPECT_EQ(done.spotHealings, 2u);
    EXPECT_EQ(done.preparations, 2u);
}

TEST(ColorRangePass, AFacesOwnSmoothingSmoothsThatFaceAlone) {
    Look look;
    look.skinRangeSmooth = 0;
    Look::FaceSettings own = at(faces[1]);
    own.skinRangeSmooth = 40;
    look.skinFaces = std::vector<Look::FaceSettings>{own};
    const auto out = pass(look, freshKeys(), false, false);
    ASSERT_TRUE(out);
    EXPECT_EQ(difference(*out, picture(), inner(faces[0], 1.0)), 0) << "the other face stays untouched";
    EXPECT_GT(difference(*out, picture(), inner(faces[1])), 0.01);

    // Its smoothing is that of the global amount 0.4 on that face.
    Look global;
    global.skinRangeSmooth = 40;
    const auto both = pass(global, freshKeys(), false, false);
    const cv::Rect second = inner(faces[1]);
    EXPECT_LT(cv::norm(out->mat()(second), both->mat()(second), cv::NORM_INF), 1e-3);
}

TEST(ColorRangePass, TexturesAndClampedAmounts) {
    struct Row {
        const char* name;
        std::function<void(Look&)> a, b;
        bool equal;
    };
    const std::vector<Row> rows{
        {"absent texture keeps 85 %", [](Look&) {}, [](Look& l) { l.skinTexture = 85; }, true},
        {"texture 0 smooths more", [](Look&) {}, [](Look& l) { l.skinTexture = 0; }, false},
        {"smoothing 150 counts as 100", [](Look& l) { l.skinRangeSmooth = 150; }, [](Look& l) { l.skinRangeSmooth = 100; },
         true},
        {"a face's own texture", [](Look&) {},
         [](Look& l) {
             Look::FaceSettings own = at(faces[0]);
             own.skinTexture = 0;
             l.skinFaces = std::vector<Look::FaceSettings>{own};
         },
         false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        Look a, b;
        a.skinRangeSmooth = b.skinRangeSmooth = 70;
        r.a(a);
        r.b(b);
        const auto x = pass(a, freshKeys(), false, false), y = pass(b, freshKeys(), false, false);
        ASSERT_TRUE(x && y);
        EXPECT_EQ(same(*x, *y), r.equal);
    }
    // A negative amount counts as 0: with nothing else asked, there is nothing to do.
    Look negative;
    negative.skinRangeSmooth = -20;
    EXPECT_FALSE(pass(negative, freshKeys(), false, false));
}

TEST(ColorRangePass, WithoutFacesNothingIsSmoothedOrTouched) {
    Look look;
    look.skinRangeSmooth = 80;
    look.skinRangeTone = 50;
    look.eyeWhites = 50;
    const auto before = ColorRangeSkin::work();
    const auto out = pass(look, freshKeys(), false, true, false);
    ASSERT_TRUE(out);
    EXPECT_TRUE(same(*out, picture()));
    const auto done = ColorRangeSkin::work() - before;
    EXPECT_EQ(done.selections, 1u);
    EXPECT_EQ(done.preparations, 0u);
}

TEST(ColorRangePass, ASelectionMadeBeforeALaterFailureStaysCached) {
    const Keys keys = freshKeys();
    Look bad;
    bad.skinRangeSmooth = 50;
    bad.skinSpotAdd = Look::Points{{0.5, 0.5}};  // a brush point needs three numbers
    auto before = ColorRangeSkin::work();
    try {
        pass(bad, keys, false, true);
        ADD_FAILURE() << "no failure";
    } catch (const SpotHeal::Failure& failure) {
        EXPECT_STREQ(failure.what(), "Invalid spot brush points");
    }
    EXPECT_EQ((ColorRangeSkin::work() - before).selections, 1u);

    Look good = bad;
    good.skinSpotAdd.reset();
    before = ColorRangeSkin::work();
    ASSERT_TRUE(pass(good, keys, false, true));
    const auto done = ColorRangeSkin::work() - before;
    EXPECT_EQ(done.selections, 0u);
    EXPECT_EQ(done.preparations, 1u) << "the failed call stored no preparation";
}

TEST(ColorRangePass, HealedSpotsChangeOnlyTheSpots) {
    Look look;
    look.skinSpotAdd = Look::Points{{faces[0].cx() / W, 1 - faces[0].cy() / H, 0.01}};
    const auto out = pass(look, freshKeys(), false, false);
    ASSERT_TRUE(out);
    int x0 = W, y0 = H, x1 = -1, y1 = -1;
    for (int row = 0; row < H; ++row)
        for (int col = 0; col < W; ++col) {
            const Pixel &a = out->at(col, row), &b = picture().at(col, row);
            if (a.r != b.r || a.g != b.g || a.b != b.b)
                x0 = std::min(x0, col), x1 = std::max(x1, col), y0 = std::min(y0, row), y1 = std::max(y1, row);
        }
    const cv::Rect where(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
    ASSERT_FALSE(where.empty()) << "the brushed spot is healed";
    EXPECT_LE(where.width, 2 * int(0.01 * W) + 1);
    EXPECT_LE(where.height, 2 * int(0.01 * W) + 1);
}

TEST(ColorRangePass, ConcurrentCallsAgreeWithOneAlone) {
    Look look;
    look.skinRangeSmooth = 60;
    look.skinSpots = 50;
    look.eyeWhites = 30;
    const auto alone = pass(look, freshKeys(), false, false);
    ASSERT_TRUE(alone);
    const Keys shared = freshKeys();
    std::vector<std::optional<Image>> results(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            Look mine = look;
            if (i % 2) mine.eyeWhites = 31;  // the same preparation, another blend
            results[i] = pass(mine, shared, false, true);
            if (i % 2) results[i] = pass(look, shared, false, true);
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) {
        ASSERT_TRUE(r);
        EXPECT_TRUE(same(*r, *alone));
    }
}

TEST(ColorRangePass, ReportedSpotsBelongToTheRenderThatFoundThem) {
    // An overlay with spots beside a render that only cleared its list: the
    // clearing render must not see the other's spots, nor wipe them.
    Look look;
    look.skinRangeSmooth = 50;
    look.skinSpots = 60;
    const Keys keys = freshKeys();
    std::optional<std::vector<std::vector<double>>> found, cleared = std::vector<std::vector<double>>{};
    std::thread overlay([&] {
        PortraitBlemishes::setReported(std::nullopt);
        ASSERT_TRUE(pass(look, keys, true, true));
        found = PortraitBlemishes::reported();
    });
    std::thread other([&] {
        PortraitBlemishes::setReported(std::nullopt);
        for (int i = 0; i < 50; ++i) {
            cleared = PortraitBlemishes::reported();
            if (cleared) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    overlay.join();
    other.join();
    ASSERT_TRUE(found);
    EXPECT_FALSE(found->empty());
    EXPECT_FALSE(cleared) << "another render's spots leaked into this one";
}
