// Spot detection: the threshold, the input checks, the passes on painted
// blemishes, keep and brush points, ordering, the memory, and a real portrait.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "engine/healing/spot_heal.h"
#include "spot_pictures.h"

namespace {

using SpotHeal::Spot;
using namespace SpotPictures;
using Points = std::vector<std::vector<double>>;

TEST(SpotThreshold, FollowsTheSensitivity) {
    EXPECT_DOUBLE_EQ(SpotHeal::threshold(1), 10);
    EXPECT_DOUBLE_EQ(SpotHeal::threshold(0.5), 17.5);
    EXPECT_DOUBLE_EQ(SpotHeal::threshold(0), 40);
    EXPECT_DOUBLE_EQ(SpotHeal::threshold(-3), 40);
    EXPECT_DOUBLE_EQ(SpotHeal::threshold(2), 10);
}

TEST(SpotInputs, AreCheckedInOrder) {
    const Imaging::Image small = Imaging::Image::filled({0, 0, 10, 10}, {0.5f, 0.5f, 0.5f, 1});
    const Imaging::Image moved = small.movedTo(1, 0);
    const Imaging::Image huge(Imaging::Rect{0, 0, 24000001, 1});
    const Points many(161, {0.5, 0.5, 0.01});
    struct Case {
        const char* name;
        const Imaging::Image* image;
        Points keep, brush;
        const char* message;
    };
    const char* tooLarge = "Spot removal currently supports up to 24 megapixels";
    const char* invalid = "Invalid spot brush points";
    const std::vector<Case> cases = {
        {"24000001 pixels", &huge, {}, {}, tooLarge},
        {"extent not at the origin", &moved, {}, {}, tooLarge},
        {"size is checked before points", &moved, {}, {{1.5, 0, 0}}, tooLarge},
        {"161 brush points", &small, {}, many, invalid},
        {"brush point with two numbers", &small, {}, {{0.5, 0.5}}, invalid},
        {"brush value 1.5", &small, {}, {{0.5, 1.5, 0.01}}, invalid},
        {"brush value not finite", &small, {}, {{0.5, std::nan(""), 0.01}}, invalid},
        {"keep point with three numbers", &small, {{0.5, 0.5, 0.5}}, {}, invalid},
        {"keep point not finite", &small, {{0.5, std::numeric_limits<double>::infinity()}}, {}, invalid},
    };
    for (const Case& c : cases) {
        try {
            SpotHeal::detect(*c.image, *c.image, {}, 1, c.keep, c.brush, std::nullopt);
            ADD_FAILURE() << c.name << ": no failure";
        } catch (const SpotHeal::Failure& f) {
            EXPECT_EQ(f.description(), c.message) << c.name;
        }
    }
    // 160 brush points and keep points outside the picture are accepted
    EXPECT_NO_THROW(SpotHeal::detect(small, small, {}, 0, {{2, -1}}, Points(160, {0, 1, 0}), std::nullopt));
}

// 640×480 even skin, mask everywhere, one face over the whole picture 400 px wide.
struct Painted {
    Imaging::Bitmap rgba;
    Imaging::Image image, mask;
    SpotHeal::Face face;
    std::vector<Blemish> blemishes;
};
Painted painted() {
    Painted p;
    p.rgba = skin(640, 480);
    p.blemishes = {{100, 100, 3, 20}, {300, 120, 5, 30}, {500, 150, 8, 40}, {150, 350, 6, 25}, {450, 380, 4, -30}};
    paint(p.rgba, p.blemishes);
    p.image = Imaging::fromBitmap(p.rgba);
    p.mask = boxMask(640, 480, 0, 0, 640, 480);
    p.face = {400, {0, 0, 640, 480}};
    return p;
}

TEST(SpotDetection, FindsPaintedDarkAndBrightBlemishes) {
    const Painted p = painted();
    const SpotHeal::Detection d = SpotHeal::detect(p.image, p.mask, {p.face}, 1, {}, {}, std::nullopt);
    EXPECT_EQ(d.spots.size(), p.blemishes.size());
    for (const Blemish& b : p.blemishes) {
        const Spot* s = foundAt(d.spots, b);
        ASSERT_TRUE(s) << "blemish at " << b.x << "," << b.y;
        EXPECT_EQ(s->state, SpotHeal::selected);
        EXPECT_GE(s->radius, b.radius - 1);
        EXPECT_LE(s->radius, 2 * b.radius + 3);
        EXPECT_EQ(s->sx, -1);
        // score: the peak contrast (a dark blemish also reddens, which counts 0.8)
        EXPECT_GT(s->score, 0.8 * std::abs(b.contrast) - 4);
        // the blemish is no donor, the plain skin around it is
        EXPECT_EQ(d.donors.row(b.y)[b.x], 0);
        EXPECT_EQ(d.donors.row(b.y)[b.x + 3 * b.radius], 255);
    }
    // ordered by score
    for (std::size_t i = 1; i < d.spots.size(); ++i) EXPECT_GE(d.spots[i - 1].score, d.spots[i].score);
    EXPECT_EQ(d.rgba.pixels, p.rgba.pixels);

    // a higher threshold lists the weak ones only; a keep point keeps its spot
    const SpotHeal::Detection strict =
        SpotHeal::detect(p.image, p.mask, {p.face}, 0.2, {{(300 + 0.5) / 640, (120 + 0.5) / 480}}, {}, std::nullopt);
    ASSERT_EQ(strict.spots.size(), p.blemishes.size());
    for (const Spot& s : strict.spots) {
        if (foundAt({s}, p.blemishes[1])) EXPECT_EQ(s.state, SpotHeal::kept);
        else EXPECT_EQ(s.state, s.score >= SpotHeal::threshold(0.2) ? SpotHeal::selected : SpotHeal::below);
    }
}

TEST(SpotDetection, OnlyInsideTheMaskAndTheFace) {
    const Painted p = painted();
    // the mask covers the left half only
    const Imaging::Image half = boxMask(640, 480, 0, 0, 320, 480);
    const SpotHeal::Detection d = SpotHeal::detect(p.image, half, {p.face}, 1, {}, {}, std::nullopt);
    for (const Spot& s : d.spots) EXPECT_LT(s.x, 320);
    EXPECT_TRUE(foundAt(d.spots, p.blemishes[0]));
    EXPECT_FALSE(foundAt(d.spots, p.blemishes[2]));
    // null, infinite, empty and narrow face rectangles give nothing
    const double inf = std::numeric_limits<double>::infinity();
    for (const SpotHeal::Box box : {SpotHeal::Box{0, 0, 0, 0}, SpotHeal::Box{-inf, -inf, inf, inf},
                                    SpotHeal::Box{std::nan(""), 0, 10, 10}, SpotHeal::Box{95, 0, 8, 480},
                                    SpotHeal::Box{-100, 0, 108, 480}}) {
        Imaging::Bitmap donors = d.skin;
        EXPECT_TRUE(SpotHeal::find(p.rgba, d.skin, donors, {400, box}, 10, {}).empty()) << box.x << " " << box.width;
    }
    // a face box around one blemish finds only it (rectangle in picture coordinates, y up)
    Imaging::Bitmap donors = d.skin;
    const auto found = SpotHeal::find(p.rgba, d.skin, donors, {400, {60, 480 - 140, 80, 80}}, 10, {});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(foundAt(found, p.blemishes[0]));
}

TEST(SpotDetection, BrushSpotsSensitivityZeroAndSpacing) {
    const Painted p = painted();
    // sensitivity 0: nothing detected, the donor map is the mask
    const auto none = SpotHeal::detect(p.image, p.mask, {p.face}, 0, {}, {}, std::nullopt);
    EXPECT_TRUE(none.spots.empty());
    EXPECT_EQ(none.donors.pixels, none.skin.pixels);
    const Points brush = {{0.1, 0.9, 0.01}, {0.0, 0.0, 0.003}};
    const auto brushed = SpotHeal::detect(p.image, p.mask, {p.face}, 0, {}, brush, std::nullopt);
    ASSERT_EQ(brushed.spots.size(), 2u);
    EXPECT_EQ(brushed.spots[0].x, 0);  // equal scores: by y, then x
    EXPECT_EQ(brushed.spots[0].y, 0);
    EXPECT_EQ(brushed.spots[0].radius, 3);
    EXPECT_EQ(brushed.spots[1].x, 64);
    EXPECT_EQ(brushed.spots[1].y, 432);
    EXPECT_EQ(brushed.spots[1].radius, 6);
    for (const Spot& s : brushed.spots) {
        EXPECT_EQ(s.state, SpotHeal::brushed);
        EXPECT_TRUE(std::isinf(s.score));
    }
    // a brush spot over a detected one replaces it; brush spots come first
    const auto over = SpotHeal::detect(p.image, p.mask, {p.face}, 1, {}, {{302.0 / 640, 121.0 / 480, 0.005}},
                                       std::nullopt);
    ASSERT_EQ(over.spots.size(), p.blemishes.size());
    EXPECT_EQ(over.spots[0].state, SpotHeal::brushed);
    for (std::size_t i = 1; i < over.spots.size(); ++i) EXPECT_NE(over.spots[i].state, SpotHeal::brushed);
    // crowded brush spots: the later ones in the order are dropped
    const auto crowded = SpotHeal::detect(p.image, p.mask, {}, 0, {},
                                          {{0.5, 0.5, 0.01}, {0.505, 0.5, 0.01}, {0.52, 0.5, 0.01}}, std::nullopt);
    ASSERT_EQ(crowded.spots.size(), 2u);
    for (std::size_t i = 0; i < crowded.spots.size(); ++i)
        for (std::size_t j = i + 1; j < crowded.spots.size(); ++j) {
            const Spot &a = crowded.spots[i], &b = crowded.spots[j];
            EXPECT_GE(std::hypot(a.x - b.x, a.y - b.y), 0.75 * (a.radius + b.radius));
        }
}

TEST(SpotDetection, ReducedRasterCarriesSpotsBack) {
    // 3200×1600: detection runs at 2560×1280 and the spots come back at full size
    Imaging::Bitmap rgba = skin(3200, 1600);
    const std::vector<Blemish> blemishes = {{800, 400, 6, 35}, {2000, 900, 8, 30}, {2800, 1300, 7, -35}};
    paint(rgba, blemishes);
    const Imaging::Image image = Imaging::fromBitmap(rgba);
    const Imaging::Image mask = boxMask(3200, 1600, 0, 0, 3200, 1600);
    const SpotHeal::Face face{500, {0, 0, 3200, 1600}};
    const auto d = SpotHeal::detect(image, mask, {face}, 1, {}, {}, std::nullopt);
    EXPECT_EQ(d.spots.size(), blemishes.size());
    for (const Blemish& b : blemishes) {
        ASSERT_TRUE(foundAt(d.spots, b)) << b.x << "," << b.y;
        EXPECT_EQ(d.donors.row(b.y)[b.x], 0);
        EXPECT_EQ(d.donors.row(b.y)[b.x + 4 * b.radius], 255);
    }
    EXPECT_EQ(d.rgba.width, 3200);
    EXPECT_EQ(d.donors.width, 3200);
}

TEST(SpotMemory, KeepsPositionsAndForgetsTheOldestKey) {
    const Painted p = painted();
    const std::string key = "spot-memory-test-photo";
    const auto first = SpotHeal::detect(p.image, p.mask, {p.face}, 1, {}, {}, key);
    ASSERT_FALSE(first.spots.empty());
    // a second call finds the same spots even on a changed picture; only states change
    const Imaging::Image plain = Imaging::fromBitmap(skin(640, 480));
    const auto second = SpotHeal::detect(plain, p.mask, {p.face}, 0.05, {}, {}, key);
    ASSERT_EQ(second.spots.size(), first.spots.size());
    for (std::size_t i = 0; i < first.spots.size(); ++i) {
        EXPECT_EQ(second.spots[i].x, first.spots[i].x);
        EXPECT_EQ(second.spots[i].y, first.spots[i].y);
        EXPECT_EQ(second.spots[i].radius, first.spots[i].radius);
        EXPECT_EQ(second.spots[i].score, first.spots[i].score);
        EXPECT_EQ(second.spots[i].state,
                  first.spots[i].score >= SpotHeal::threshold(0.05) ? SpotHeal::selected : SpotHeal::below);
    }
    // 48 more keys evict the first one: it is detected afresh (nothing on plain skin)
    for (int i = 0; i < 48; ++i) SpotHeal::remembered({}, "spot-memory-filler-" + std::to_string(i), 640, 480, 1, {});
    EXPECT_TRUE(SpotHeal::detect(plain, p.mask, {p.face}, 1, {}, {}, key).spots.empty());
}

TEST(SpotMemory, DetectionOffNeitherStoresNorRecalls) {
    const Painted p = painted();
    const std::string key = "spot-memory-off-first";
    EXPECT_TRUE(SpotHeal::detect(p.image, p.mask, {p.face}, 0, {}, {}, key).spots.empty());
    const auto on = SpotHeal::detect(p.image, p.mask, {p.face}, 1, {}, {}, key);
    EXPECT_EQ(on.spots.size(), p.blemishes.size());
    EXPECT_TRUE(SpotHeal::detect(p.image, p.mask, {p.face}, 0, {}, {}, key).spots.empty());
}

TEST(SpotMemory, RememberedPlacesRelativeSpots) {
    const std::vector<Spot> spots = {{100, 50, 4, 20, 1}, {2, 2, 1, 50, 1}, {150, 80, 5, 12, 1}};
    const auto out = SpotHeal::remembered(spots, "spot-memory-relative", 200, 100, 0.5, {{150.5 / 200, 80.5 / 100}});
    // stored relative to a 200×100 picture; read back in a 600×300 one with the same key
    const auto thrice = SpotHeal::remembered({}, "spot-memory-relative", 600, 300, 1, {});
    ASSERT_EQ(out.size(), 2u);  // at (2, 2) the smallest radius, 3, leaves the picture
    EXPECT_EQ(out[0].state, SpotHeal::selected);
    EXPECT_EQ(out[1].state, SpotHeal::kept);
    ASSERT_EQ(thrice.size(), 3u);
    EXPECT_EQ(thrice[0].x, 301);
    EXPECT_EQ(thrice[0].y, 151);
    EXPECT_EQ(thrice[0].radius, 12);
    EXPECT_EQ(thrice[1].x, 7);
    EXPECT_EQ(thrice[1].radius, 3);
    EXPECT_EQ(thrice[2].state, SpotHeal::selected);
}

TEST(SpotDetectionPortrait, FindsBlemishesPaintedOnForeheadAndCheeks) {
    REQUIRE_FIXTURES();
    auto portrait = SpotPictures::portrait();
    ASSERT_TRUE(portrait);
    paint(portrait->rgba, portrait->blemishes);
    const int w = portrait->rgba.width, h = portrait->rgba.height;
    const Imaging::Image image = Imaging::fromBitmap(portrait->rgba);
    const Imaging::Image mask = boxMask(w, h, portrait->left, portrait->top, portrait->right, portrait->bottom);
    const SpotHeal::Face face = SpotPictures::face(h, portrait->left, portrait->top, portrait->right, portrait->bottom);
    const auto d = SpotHeal::detect(image, mask, {face}, 1, {}, {}, std::string("spot-portrait"));
    int found = 0;
    for (const Blemish& b : portrait->blemishes) found += foundAt(d.spots, b) != nullptr;
    EXPECT_GE(found, int(std::ceil(0.8 * portrait->blemishes.size()))) << found << " of " << portrait->blemishes.size();
    RecordProperty("found", found);
    RecordProperty("detected", int(d.spots.size()));
    for (const Spot& s : d.spots) {
        EXPECT_GE(s.x, portrait->left);
        EXPECT_LT(s.x, portrait->right);
        EXPECT_GE(s.y, portrait->top);
        EXPECT_LT(s.y, portrait->bottom);
    }
    // the same key at another sensitivity gives the same positions
    const auto again = SpotHeal::detect(image, mask, {face}, 0.3, {}, {}, std::string("spot-portrait"));
    ASSERT_EQ(again.spots.size(), d.spots.size());
    for (std::size_t i = 0; i < d.spots.size(); ++i) {
        EXPECT_EQ(again.spots[i].x, d.spots[i].x);
        EXPECT_EQ(again.spots[i].y, d.spots[i].y);
    }
}

}  // namespace
