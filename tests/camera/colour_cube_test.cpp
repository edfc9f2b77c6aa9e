// The maths of the camera-profile colour cube: names, matrices, skips, the
// tone curve, the profile tables, the roll-off and whole grid points.

#include <cmath>
#include <cstdlib>

#include <gtest/gtest.h>

#include "engine/camera/colour_cube.h"

using namespace CameraProfile;

namespace {

double encode(double v) { return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }
double decode(double x) { return x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4); }

void expectNear(const Triple& a, const Triple& b, double tolerance) {
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], tolerance) << "channel " << k;
}

// A table of the given divisions whose every entry is (hue shift, sat scale, val scale).
std::vector<float> uniformTable(const TableDims& d, float hue, float sat, float val) {
    std::vector<float> t;
    for (std::uint32_t i = 0; i < d.hue * d.sat * d.val; ++i) t.insert(t.end(), {hue, sat, val});
    return t;
}

Triple hsvToRGB(double h, double s, double v) {
    const double c = v * s, x = c * (1 - std::fabs(std::fmod(h / 60, 2) - 1)), m = v - c;
    const int sector = int(h / 60) % 6;
    const Triple parts[] = {{c, x, 0}, {x, c, 0}, {0, c, x}, {0, x, c}, {x, 0, c}, {c, 0, x}};
    return {parts[sector][0] + m, parts[sector][1] + m, parts[sector][2] + m};
}

CubeRecipe identityRecipe(Skips skips) {
    CubeRecipe r;
    r.dcp.toneCurve = {0, 0, 1, 1};
    r.dcp.hueSatDims = {4, 3, 1};
    r.dcp.hueSatTable = uniformTable(r.dcp.hueSatDims, 0, 1, 1);
    r.bridge = bridge("Any Camera").matrix;
    r.skips = skips;
    return r;
}

}  // namespace

TEST(CameraNames, Flatten) {
    const std::pair<const char*, const char*> cases[] = {
        {"Canon EOS R6 Mark II", "canoneosr6m2"},
        {"Canon EOS-1D X Mark III", "canoneos1dxm3"},
        {"Canon EOS 5D Mark IV", "canoneos5dm4"},
        {"SONY ILCE-7RM4", "sonyilce7rm4"},
        {"NIKON Z 6_2", "nikonz62"},
        {"  Fujifilm X-T5 ", "fujifilmxt5"},
        {"OLYMPUS E-M1MarkII", "olympusem1m2"},
        {"\xc3\x84RRI \xc3\x89tude", "\xc3\xa4rri\xc3\xa9tude"},  // ÄRRI Étude: letters beyond ASCII stay, lower-cased
        {"", ""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(flatten(in), out) << in;
}

TEST(CameraNames, EveryCameraGetsTheStandInBridge) {
    for (const char* model : {"Canon EOS R6 Mark II", "NIKON D850", ""}) {
        const Bridge b = bridge(model);
        EXPECT_EQ(b.camera, "canoneosr6m2");
        EXPECT_DOUBLE_EQ(b.matrix[0], 0.222228);
        EXPECT_DOUBLE_EQ(b.matrix[8], 0.346483);
    }
}

TEST(CubeMaths, Matrices) {
    // ProPhoto conversion keeps white (the D65 → D50 adaptation maps white to white).
    expectNear(transform(toProPhoto(), {1, 1, 1}), {1, 1, 1}, 2e-4);
    const Matrix3 product = multiply(fromProPhoto(), toProPhoto());
    for (int k = 0; k < 9; ++k) EXPECT_NEAR(product[k], k % 4 == 0 ? 1 : 0, 1e-12);
    // Pure sRGB red lies inside ProPhoto: all components positive, red dominant.
    const Triple red = transform(toProPhoto(), {1, 0, 0});
    EXPECT_GT(red[0], 0.5);
    EXPECT_GT(red[1], 0);
    EXPECT_GE(red[2], 0);
    const Matrix3 singular{1, 2, 3, 2, 4, 6, 0, 0, 1};
    EXPECT_EQ(inverse(singular), singular);
}

TEST(CubeMaths, SkipList) {
    const std::pair<const char*, Skips> cases[] = {
        {"matrix,,curve", {false, true, true}},
        {"look", {true, false, false}},
        {"Look", {}},
        {" look", {}},
        {"look,unknown,matrix", {true, false, true}},
        {",,,", {}},
        {"", {}},
    };
    for (const auto& [text, skips] : cases) EXPECT_EQ(parseSkips(text), skips) << text;

    setenv("MERROW_DCP_SKIP", "curve", 1);
    EXPECT_EQ(skipsFromEnvironment(), (Skips{false, true, false}));
    unsetenv("MERROW_DCP_SKIP");
    EXPECT_EQ(skipsFromEnvironment(), Skips{});
}

TEST(CubeMaths, InputScale) {
    const Matrix3 m = bridge("x").matrix;
    EXPECT_NEAR(inputScale(m, {}), 1 / (0.222228 + 0.440415 - 0.122012), 1e-12);
    EXPECT_EQ(inputScale(m, {.matrix = true}), 1);
    EXPECT_EQ(inputScale({0.005, 0, 0, 0, 1, 0, 0, 0, 1}, {}), 1);  // row sum 0.01 or less
}

TEST(CubeMaths, ToneCurve) {
    const std::vector<double> curve{0, 0.1, 0.5, 0.4, 0.75, 0.9, 1, 1};
    const std::pair<double, double> cases[] = {
        {0, 0.1}, {0.25, 0.25}, {0.5, 0.4}, {0.625, 0.65}, {1, 1}, {1.5, 1}, {-1, 0.1}, {NAN, 0.1},
    };
    for (const auto& [in, out] : cases) EXPECT_NEAR(evaluateToneCurve(curve, in), out, 1e-12) << in;
    EXPECT_EQ(evaluateToneCurve({0.2, 0.3}, 0.7), 0.7);  // one point: unchanged
    EXPECT_EQ(evaluateToneCurve({}, 1.7), 1.7);
    EXPECT_EQ(evaluateToneCurve({0, 0, 0.5, 0.2, 0.5, 0.8, 1, 1}, 0.5), 0.8);  // vertical step

    // Hue preservation: the middle channel keeps its place between the others.
    const std::vector<double> lift{0, 0.2, 1, 1};
    expectNear(applyToneCurve(lift, {0.5, 1.0, 0.0}), {0.6, 1.0, 0.2}, 1e-12);
    expectNear(applyToneCurve(lift, {0.5, 0.5, 0.5}), {0.6, 0.6, 0.6}, 1e-12);
    expectNear(applyToneCurve(lift, {1.4, -0.2, 0.25}), {1.0, 0.2, 0.4}, 1e-12);  // clamped first
}

TEST(CubeMaths, ProfileTables) {
    const TableDims dims{6, 3, 2};
    const Triple orange = hsvToRGB(30, 0.6, 0.5), blue = hsvToRGB(240, 0.6, 0.95);
    struct Case {
        const char* name;
        std::vector<float> table;
        TableDims dims;
        std::uint32_t encoding;
        Triple in, out;
    };
    const Case cases[] = {
        {"identity entries", uniformTable(dims, 0, 1, 1), dims, 0, orange, orange},
        {"identity entries, sRGB value axis", uniformTable(dims, 0, 1, 1), dims, 1, orange, orange},
        {"hue shift of 90°", uniformTable(dims, 90, 1, 1), dims, 0, orange, hsvToRGB(120, 0.6, 0.5)},
        {"negative shift wraps", uniformTable(dims, -60, 1, 1), dims, 0, orange, hsvToRGB(330, 0.6, 0.5)},
        {"half saturation", uniformTable(dims, 0, 0.5, 1), dims, 0, orange, hsvToRGB(30, 0.3, 0.5)},
        {"saturation clamped to 1", uniformTable(dims, 0, 3, 1), dims, 0, orange, hsvToRGB(30, 1, 0.5)},
        {"value scale, linear axis", uniformTable(dims, 0, 1, 0.5), dims, 0, orange, hsvToRGB(30, 0.6, 0.25)},
        {"value scale on the sRGB axis", uniformTable(dims, 0, 1, 0.5), dims, 1, orange,
         hsvToRGB(30, 0.6, decode(encode(0.5) * 0.5))},
        // Hue 240°, value 0.95: the protection gives 0.5 + 0.7 × (1 − 0.5) = 0.85.
        {"bright blue keeps most of its brightness", uniformTable(dims, 0, 1, 0.5), dims, 0, blue,
         hsvToRGB(240, 0.6, 0.95 * 0.85)},
        {"a red of the same value does not", uniformTable(dims, 0, 1, 0.5), dims, 0, hsvToRGB(0, 0.6, 0.95),
         hsvToRGB(0, 0.6, 0.95 * 0.5)},
        {"grey stays grey", uniformTable(dims, 45, 2, 1), dims, 0, {0.4, 0.4, 0.4}, {0.4, 0.4, 0.4}},
        {"no hue divisions", uniformTable(dims, 90, 1, 1), {0, 3, 2}, 0, orange, orange},
        {"one saturation division", uniformTable(dims, 90, 1, 1), {6, 1, 2}, 0, orange, orange},
        // Orange reads entries 3 and beyond of a table that holds one: they count as (0, 1, 1).
        {"entries past the end count as identity", {90, 1, 1}, dims, 0, orange, orange},
        {"dimensions far beyond the table", {90, 1, 1}, {0xffffffffu, 0xffffffffu, 0xffffffffu}, 0, orange, orange},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectNear(applyTable(c.table, c.dims, c.encoding, c.in), c.out, 1e-9);
    }
}

TEST(CubeMaths, TableInterpolatesBetweenEntries) {
    // Hue shift 0 at every even hue entry, 30 at every odd one: halfway between them gives 15.
    const TableDims dims{4, 2, 1};
    std::vector<float> table;
    for (int h = 0; h < 4; ++h)
        for (int s = 0; s < 2; ++s) table.insert(table.end(), {h % 2 ? 30.0f : 0.0f, 1, 1});
    // Hue 45° is halfway between entry 0 (0°) and entry 1 (90°).
    expectNear(applyTable(table, dims, 0, hsvToRGB(45, 0.5, 0.5)), hsvToRGB(60, 0.5, 0.5), 1e-9);
    // Hue 315° is halfway between the last entry (270°) and entry 0 again (the axis wraps).
    expectNear(applyTable(table, dims, 0, hsvToRGB(315, 0.5, 0.5)), hsvToRGB(330, 0.5, 0.5), 1e-9);
}

TEST(CubeMaths, HighlightRolloff) {
    const std::pair<Triple, Triple> cases[] = {
        {{0.8, 0.2, 0.1}, {0.8, 0.2, 0.1}},                       // at most 0.8: untouched
        {{0.9, 0.9, 0.9}, {0.9, 0.9, 0.9}},                       // grey up to 1: already at its target
        {{1.0, 0.9, 0.9}, {0.92880402, 0.92880402, 0.92880402}},  // pulled all the way to its luminance
        {{1.2, 1.2, 1.2}, {1, 1, 1}},                             // grey above 1: pulled to the target 1
    };
    for (const auto& [in, out] : cases) expectNear(highlightRolloff(in), out, 1e-8);
    // A saturated highlight is partly pulled towards its luminance.
    const Triple hot = highlightRolloff({1.5, 0.2, 0.1});
    const double Y = 0.2880402 * 1.5 + 0.7118741 * 0.2 + 0.0000857 * 0.1;
    const double knee = 0.8 + 0.2 * (1 - std::exp(-(1.5 - 0.8) / 0.2));
    const double t = (1.5 - knee) / (1.5 - Y);
    expectNear(hot, {1.5 + (Y - 1.5) * t, 0.2 + (Y - 0.2) * t, 0.1 + (Y - 0.1) * t}, 1e-12);
    EXPECT_NEAR(hot[0], knee, 1e-12);  // the brightest channel lands on the knee
}

TEST(CubeMaths, GridPoints) {
    // Black is lifted by 0.004 (linear) before the tables and curve: never exact black.
    const double lifted = encode(0.004);
    expectNear(gridPoint(identityRecipe({.matrix = true}), {0, 0, 0}), {lifted, lifted, lifted}, 1e-9);
    // Through the bridge and ProPhoto conversion equal channels stay (nearly) equal: grey axis.
    const Triple black = gridPoint(identityRecipe({}), {0, 0, 0});
    for (double v : black) EXPECT_NEAR(v, lifted, 2e-3);

    // A lifting tone curve acts on the 0.004 floor: 0.1 + 0.004 × 0.9.
    CubeRecipe lift = identityRecipe({.matrix = true});
    lift.dcp.toneCurve = {0, 0.1, 1, 1};
    const double lv = encode(0.1 + 0.004 * 0.9);
    expectNear(gridPoint(lift, {0, 0, 0}), {lv, lv, lv}, 1e-9);
    expectNear(gridPoint(identityRecipe({.curve = true, .matrix = true}), {0, 0, 0}), {lifted, lifted, lifted}, 1e-9);
    lift.skips.curve = true;
    expectNear(gridPoint(lift, {0, 0, 0}), {lifted, lifted, lifted}, 1e-9);

    // Mid-tones pass an identity profile unchanged apart from the floor.
    const Triple mid{0.5, 0.3, 0.2};
    Triple expected;
    for (int k = 0; k < 3; ++k) expected[k] = encode(decode(mid[k]) + 0.004);
    expectNear(gridPoint(identityRecipe({.matrix = true}), mid), expected, 1e-9);

    // The look table is used unless skipped.
    CubeRecipe look = identityRecipe({.matrix = true});
    look.dcp.lookDims = {4, 3, 1};
    look.dcp.lookTable = uniformTable(look.dcp.lookDims, 0, 1, 0.5);
    Triple darker;
    for (int k = 0; k < 3; ++k) darker[k] = encode((decode(mid[k]) + 0.004) * 0.5);
    expectNear(gridPoint(look, mid), darker, 1e-9);
    look.skips.look = true;
    expectNear(gridPoint(look, mid), expected, 1e-9);

    // White through the full chain: the bridge scale lifts it over 1, the
    // roll-off and clamp bring it back to white.
    const Triple white = gridPoint(identityRecipe({}), {1, 1, 1});
    for (double v : white) EXPECT_NEAR(v, 1.0, 2e-3);
}

TEST(CubeMaths, CubeLayout) {
    CubeRecipe recipe = identityRecipe({});
    recipe.dcp.toneCurve = {0, 0, 0.3, 0.4, 1, 1};
    recipe.dcp.hueSatTable = uniformTable(recipe.dcp.hueSatDims, 20, 0.8, 1);
    const auto cube = buildCube(recipe);
    ASSERT_EQ(cube.size(), std::size_t(96 * 96 * 96 * 4));
    const int points[][3] = {{0, 0, 0}, {95, 0, 0}, {0, 95, 0}, {0, 0, 95}, {12, 50, 77}, {95, 95, 95}, {40, 3, 90}};
    for (const auto& p : points) {
        const std::size_t at = ((std::size_t(p[2]) * 96 + p[1]) * 96 + p[0]) * 4;
        const Triple expected = gridPoint(recipe, {p[0] / 95.0, p[1] / 95.0, p[2] / 95.0});
        for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(cube[at + k], float(expected[k])) << p[0] << " " << p[1] << " " << p[2];
        EXPECT_EQ(cube[at + 3], 1.0f);
    }
    for (float v : cube) ASSERT_TRUE(v >= 0 && v <= 1);
}
