// Heal strokes: dark objects painted on real photos healed away, the stroke
// geometry, donors that keep clear of every stroke, the difference blend and
// the strokes that leave the picture alone.
#include <cmath>
#include <cstring>

#include <gtest/gtest.h>

#include "area_pictures.h"
#include "engine/develop/apply.h"
#include "engine/healing/area_heal.h"

namespace {

using AreaHeal::Box;
using AreaHeal::Stroke;
using namespace AreaPictures;

// True when every pixel outside `box` (top-left pixel coordinates) is bit-identical.
bool sameOutside(const Imaging::Image& a, const Imaging::Image& b, const Box& box) {
    if (a.extent() != b.extent()) return false;
    for (int row = 0; row < a.height(); ++row)
        for (int col = 0; col < a.width(); ++col) {
            if (col >= box.x && col < box.x + box.w && row >= box.y && row < box.y + box.h) continue;
            if (std::memcmp(&a.at(col, row), &b.at(col, row), sizeof(Imaging::Pixel)) != 0) return false;
        }
    return true;
}

bool samePixels(const Imaging::Image& a, const Imaging::Image& b) { return sameOutside(a, b, Box{0, 0, 0, 0}); }

struct PhotoCase {
    const char* name;
    const char* photo;
    double ax, ay, bx, by;  // the object: a disc around a (bx < 0) or a line from a to b
    double size;            // disc radius or half the line's thickness, pixels
};

void PrintTo(const PhotoCase& c, std::ostream* os) { *os << c.name; }

class HealPhoto : public ::testing::TestWithParam<PhotoCase> {};

// A dark object painted over texture, healed with a stroke that covers it,
// looks like its surroundings afterwards: the same mean colour (within ΔE76 5)
// and a texture of similar strength (luma deviation within 50 %). Nothing
// outside the stroke's padded box changes.
TEST_P(HealPhoto, objectBlendsIntoItsSurroundings) {
    REQUIRE_FIXTURES();
    const PhotoCase& c = GetParam();
    Imaging::Bitmap picture = photo(c.photo);
    const int W = picture.width, H = picture.height;
    const bool line = c.bx >= 0;
    const auto object = line ? capsule(c.ax, c.ay, c.bx, c.by, c.size) : disc(c.ax, c.ay, c.size);
    const double rho = 1.6 * c.size + 2;  // the brush covers the object with room for the feathered edge
    const auto around = [&](int x, int y) {
        const auto near = line ? capsule(c.ax, c.ay, c.bx, c.by, rho + 2) : disc(c.ax, c.ay, rho + 2);
        const auto far = line ? capsule(c.ax, c.ay, c.bx, c.by, rho + 2 + 2 * c.size) : disc(c.ax, c.ay, rho + 2 + 2 * c.size);
        return far(x, y) && !near(x, y);
    };
    const Statistics before = statistics(picture, around);
    paintDark(picture, object);
    const Imaging::Image image = Imaging::fromBitmap(picture);
    std::vector<std::array<double, 2>> points{{c.ax, c.ay}};
    if (line) points.push_back({c.bx, c.by});
    const Stroke s = stroke("heal", rho, points, W, H);

    const Imaging::Image healed = AreaHeal::apply(image, std::vector<Stroke>{s});
    const Imaging::Bitmap result = Imaging::renderRGBA8(healed);
    const Statistics area = statistics(result, object), surroundings = statistics(result, around);
    EXPECT_LT(deltaE76(area, surroundings), 5.0) << c.name;
    EXPECT_NEAR(area.lumaDeviation, surroundings.lumaDeviation, 0.5 * surroundings.lumaDeviation) << c.name;
    EXPECT_LT(deltaE76(surroundings, before), 1.0) << c.name << ": the surroundings stay as they were";

    const Box box = *AreaHeal::bounds(s, W, H);
    const Box padded = box.padded(std::max(3, int(std::round(0.5 * AreaHeal::radius(s, W)))), W, H);
    EXPECT_TRUE(sameOutside(image, healed, padded)) << c.name;
    EXPECT_FALSE(samePixels(image, healed)) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Photos, HealPhoto,
    ::testing::Values(PhotoCase{"rippled_water", "jpeg_icc/photoprism_Iceland-sRGB.jpg", 300, 350, -1, -1, 14},
                      PhotoCase{"water_line", "jpeg_icc/photoprism_Iceland-sRGB.jpg", 120, 360, 220, 372, 4},
                      PhotoCase{"hillside", "jpeg_icc/photoprism_Iceland-sRGB.jpg", 90, 255, -1, -1, 10},
                      PhotoCase{"far_water", "jpeg_icc/photoprism_Iceland-sRGB.jpg", 470, 365, -1, -1, 10},
                      PhotoCase{"vines", "jpeg_camera/ianare_DSCN0010.jpg", 70, 420, -1, -1, 10},
                      PhotoCase{"trees_line", "jpeg_camera/ianare_DSCN0010.jpg", 360, 130, 440, 125, 4}),
    [](const ::testing::TestParamInfo<PhotoCase>& info) { return std::string(info.param.name); });

TEST(AreaHeal, boundsPaddingAndRadius) {
    Stroke s = stroke("heal", 10, {{50, 40}, {80, 45}}, 200, 100);
    EXPECT_DOUBLE_EQ(AreaHeal::radius(s, 200), 10);
    EXPECT_EQ(*AreaHeal::bounds(s, 200, 100), (Box{40, 30, 50, 25}));
    s.r = 0.001;  // 0.2 px: the radius is at least 1.5
    EXPECT_DOUBLE_EQ(AreaHeal::radius(s, 200), 1.5);
    const Stroke corner = stroke("heal", 10, {{0, 0}}, 200, 100);
    EXPECT_EQ(*AreaHeal::bounds(corner, 200, 100), (Box{0, 0, 10, 10}));
    EXPECT_EQ((Box{5, 5, 10, 10}).padded(8, 18, 100), (Box{0, 0, 18, 23}));
    EXPECT_TRUE((Box{0, 0, 10, 10}).intersects(Box{9, 9, 5, 5}));
    EXPECT_FALSE((Box{0, 0, 10, 10}).intersects(Box{10, 0, 5, 5}));
    EXPECT_EQ((Box{2, 3, 4, 5}).ci(20), (Imaging::Rect{2, 12, 4, 5}));
}

// One point draws a disc of the brush radius, two points a capsule; a
// smaller scale draws the same shape on a smaller raster.
TEST(AreaHeal, maskDrawsDiscsAndCapsules) {
    const Stroke dot = stroke("heal", 10, {{50, 50}}, 100, 100);
    const Imaging::Bitmap m = AreaHeal::mask(dot, Box{30, 30, 40, 40}, 1, 100, 100);
    ASSERT_EQ(m.width, 40);
    ASSERT_EQ(m.channels, 1);
    EXPECT_EQ(m.row(20)[20], 255);
    EXPECT_EQ(m.row(20)[35], 0);  // 15 px from the centre
    EXPECT_EQ(m.row(0)[0], 0);
    const Stroke line = stroke("heal", 5, {{20, 50}, {80, 50}}, 100, 100);
    const Imaging::Bitmap l = AreaHeal::mask(line, Box{0, 40, 100, 20}, 1, 100, 100);
    EXPECT_EQ(l.row(10)[50], 255);  // on the segment
    EXPECT_EQ(l.row(10)[16], 255);  // inside the round cap
    EXPECT_EQ(l.row(1)[50], 0);     // 9 px off the segment
    const Imaging::Bitmap half = AreaHeal::mask(dot, Box{30, 30, 40, 40}, 0.5, 100, 100);
    EXPECT_EQ(half.width, 20);
    EXPECT_EQ(half.row(10)[10], 255);
    EXPECT_EQ(half.row(10)[18], 0);
}

TEST(AreaHeal, softEdgeIsThreeBoxBlurs) {
    std::vector<float> flat(30 * 20, 0.5f);
    for (float v : AreaHeal::softEdge(flat, 30, 20, 3)) EXPECT_NEAR(v, 0.5f, 1e-6);
    std::vector<float> impulse(41 * 41, 0.0f);
    impulse[20 * 41 + 20] = 1.0f;
    const std::vector<float> spread = AreaHeal::softEdge(impulse, 41, 41, 2);
    double total = 0;
    for (float v : spread) total += v;
    EXPECT_NEAR(total, 1.0, 1e-5);              // nothing reaches the border
    EXPECT_NEAR(spread[20 * 41 + 26], 19.0 / 125 / 125, 1e-7);  // 3 passes of 5 taps reach 6 px
    EXPECT_EQ(spread[20 * 41 + 27], 0.0f);
}

TEST(AreaHeal, blendDeltaAddsTheDifferencesInsideTheBoxOnly) {
    Imaging::Image image = Imaging::Image::filled(Imaging::Rect{0, 0, 8, 6}, {0.5f, 1.7f, -0.2f, 1});
    Imaging::Bitmap positive(2, 2, 4), negative(2, 2, 4);
    std::fill(positive.pixels.begin(), positive.pixels.end(), 51);
    std::fill(negative.pixels.begin(), negative.pixels.end(), 0);
    negative.row(1)[4] = 102;  // box pixel (1, 1), red
    const Imaging::Image out = AreaHeal::blendDelta(image, positive, negative, Box{3, 1, 2, 2}, 6);
    EXPECT_TRUE(sameOutside(image, out, Box{3, 1, 2, 2}));
    EXPECT_FLOAT_EQ(out.at(3, 1).g, 1.7f + 0.2f);
    EXPECT_FLOAT_EQ(out.at(4, 2).r, 0.5f + 0.2f - 0.4f);
    EXPECT_FLOAT_EQ(out.at(4, 2).a, 1.0f);
    EXPECT_FLOAT_EQ(image.at(3, 1).g, 1.7f) << "the input stays as it was";
    try {
        AreaHeal::blendDelta(image, positive, negative, Box{7, 1, 2, 2}, 6);
        FAIL() << "a box beyond the picture must fail";
    } catch (const AreaHeal::Failure& f) {
        EXPECT_EQ(f.description(), "Could not blend the painted area");
    }
}

// Two strokes side by side on a flat area whose only other flat part lies
// further right: left alone, the first stroke would copy from under its
// neighbour; told about both boxes, it never places its donor over either.
TEST(AreaHeal, neighbouringStrokesAreNeverDonors) {
    const int W = 400, H = 300;
    Imaging::Bitmap picture = textured(W, H, {120, 140, 90}, 40, 11);
    const Imaging::Bitmap flat = textured(W, H, {150, 150, 150}, 2, 3);
    for (int y = 110; y < 190; ++y)
        for (int x = 128; x < 250; ++x) std::memcpy(picture.row(y) + x * 4, flat.row(y) + x * 4, 4);
    const Imaging::Image image = Imaging::fromBitmap(picture);
    const Stroke a = stroke("heal", 12, {{150, 150}}, W, H);
    const Stroke b = stroke("heal", 12, {{185, 150}}, W, H);
    const Box boxA = *AreaHeal::bounds(a, W, H), boxB = *AreaHeal::bounds(b, W, H);
    const auto moved = [](const Box& box, const AreaHeal::Delta& d) {
        return Box{box.x + d.source->x - d.box.x, box.y + d.source->y - d.box.y, box.w, box.h};
    };

    const auto alone = AreaHeal::repair(a, boxA, {boxA}, image, W, H);
    ASSERT_TRUE(alone && alone->source);
    EXPECT_TRUE(moved(boxA, *alone).intersects(boxB)) << "the picture must tempt the donor under the neighbour";

    for (const auto& [s, box] : {std::pair{a, boxA}, std::pair{b, boxB}}) {
        const auto d = AreaHeal::repair(s, box, {boxA, boxB}, image, W, H);
        ASSERT_TRUE(d && d->source);
        EXPECT_FALSE(moved(box, *d).intersects(boxA));
        EXPECT_FALSE(moved(box, *d).intersects(boxB));
    }
    // Through apply, both strokes heal and nothing outside their padded boxes changes.
    const Imaging::Image healed = AreaHeal::apply(image, std::vector<Stroke>{a, b});
    const Box both{boxA.x - 6, boxA.y - 6, boxB.x + boxB.w + 6 - (boxA.x - 6), boxA.h + 12};
    EXPECT_TRUE(sameOutside(image, healed, both));
    EXPECT_FALSE(samePixels(image, healed));
}

// One point heals a disc of the brush radius, two points the capsule between them.
TEST(AreaHeal, pointsHealDiscsAndCapsules) {
    const int W = 300, H = 200;
    Imaging::Bitmap picture = textured(W, H, {90, 120, 160}, 6);
    paintDark(picture, disc(100, 100, 6));
    paintDark(picture, capsule(170, 60, 240, 60, 4));
    paintDark(picture, disc(205, 140, 4));  // lies outside every stroke
    const Imaging::Image image = Imaging::fromBitmap(picture);
    const Imaging::Image healed = AreaHeal::apply(
        image, std::vector<Stroke>{stroke("heal", 9, {{100, 100}}, W, H), stroke("heal", 7, {{170, 60}, {240, 60}}, W, H)});
    const Imaging::Bitmap out = Imaging::renderRGBA8(healed);
    const auto lumaAt = [&](int x, int y) {
        const std::uint8_t* p = out.row(y) + x * 4;
        return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
    };
    EXPECT_GT(lumaAt(100, 100), 90);
    EXPECT_GT(lumaAt(205, 60), 90) << "the middle of the capsule";
    EXPECT_LT(lumaAt(205, 140), 30) << "the object outside the strokes stays";
}

struct UnchangedCase {
    const char* name;
    int W, H, originX;
    std::vector<Stroke> strokes;
};

// Strokes that leave the picture exactly as it was.
TEST(AreaHeal, strokesThatChangeNothing) {
    Stroke spray = stroke("spray", 8, {{50, 50}}, 100, 100);
    Stroke tooWide = stroke("heal", 8, {{50, 50}}, 100, 100);
    tooWide.r = 0.2;
    Stroke badFill = stroke("heal", 8, {{50, 50}}, 100, 100);
    badFill.fill = "ABCDEF0123456789abcdef01";
    Stroke badPoint = stroke("heal", 8, {{50, 50}}, 100, 100);
    badPoint.pts.push_back({0.5, 1.5});
    // Covers everything around it: no known pixels.
    std::vector<std::array<double, 2>> grid;
    for (int y = 0; y <= 40; y += 2)
        for (int x = 0; x <= 40; x += 2) grid.push_back({double(x), double(y)});
    // Sweeps a 3500×3500 picture corner to corner with the widest brush: its padded box exceeds 12 M pixels.
    const std::vector<UnchangedCase> cases{
        {"other_tool_and_invalid", 100, 100, 0, {spray, tooWide, badFill, badPoint}},
        {"nothing_known", 40, 40, 0, {stroke("heal", 3, grid, 40, 40)}},
        {"too_large", 3500, 3500, 0, {stroke("heal", 350, {{0, 0}, {3500, 3500}}, 3500, 3500)}},
    };
    for (const UnchangedCase& c : cases) {
        const Imaging::Bitmap picture = textured(c.W, c.H, {100, 110, 120}, 20);
        const Imaging::Image image = Imaging::fromBitmap(picture);
        const Imaging::Image out = AreaHeal::apply(image, c.strokes);
        EXPECT_TRUE(samePixels(image, out)) << c.name;
    }
}

TEST(AreaHeal, pictureMustStartAtZero) {
    const Imaging::Image shifted = Imaging::fromBitmap(textured(60, 40, {100, 100, 100}, 5)).movedTo(10, 0);
    const std::vector<Stroke> strokes{stroke("heal", 5, {{30, 20}}, 60, 40)};
    try {
        AreaHeal::apply(shifted, strokes);
        FAIL() << "expected a failure";
    } catch (const AreaHeal::Failure& f) {
        EXPECT_EQ(f.description(), "Heal needs a picture with its origin at zero");
    }
    // Without a usable stroke nothing is checked.
    EXPECT_NO_THROW(AreaHeal::apply(shifted, std::vector<Stroke>{stroke("brush", 5, {{30, 20}}, 60, 40)}));
}

TEST(AreaHeal, lookWithoutStrokesGivesNothing) {
    const Imaging::Image image = Imaging::fromBitmap(textured(30, 20, {100, 100, 100}, 5));
    Develop::Look look;
    EXPECT_FALSE(AreaHeal::apply(image, look));
    look.removeAreas = std::vector<Stroke>{stroke("heal", 3, {{15, 10}}, 30, 20)};
    EXPECT_TRUE(AreaHeal::apply(image, look));
}

}  // namespace

namespace {

// The develop pipeline heals a look's strokes: the dark disc is gone from the
// developed picture, and everything outside the stroke's padded box develops
// exactly as without the stroke.
TEST(AreaHeal, developPipelineHealsTheLooksStrokes) {
    const int W = 240, H = 160;
    Imaging::Bitmap picture = textured(W, H, {140, 120, 100}, 8);
    paintDark(picture, disc(120, 80, 8));
    const Imaging::Image linear = Imaging::sRGBToLinear(Imaging::fromBitmap(picture));
    Develop::ApplyOptions options;
    options.displayEncoded = true;
    Develop::Look look;
    look.exposure = 0.2;
    const Imaging::Image plain = Develop::apply(look, linear, options);
    const Stroke s = stroke("heal", 14, {{120, 80}}, W, H);
    look.removeAreas = std::vector<Stroke>{s};
    const Imaging::Image healed = Develop::apply(look, linear, options);
    const Box padded = AreaHeal::bounds(s, W, H)->padded(7, W, H);
    EXPECT_TRUE(sameOutside(plain, healed, padded));
    const Imaging::Bitmap before = Imaging::renderRGBA8(plain), after = Imaging::renderRGBA8(healed);
    EXPECT_LT(statistics(before, disc(120, 80, 6)).g, 40);
    EXPECT_GT(statistics(after, disc(120, 80, 6)).g, 110);
}

}  // namespace
