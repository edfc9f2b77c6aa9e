#include <algorithm>
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "engine/develop/curves.h"
#include "engine/develop/tonesliders.h"

namespace {

using Develop::Look;

// The y values of a master curve made by the sliders.
std::vector<double> masterY(const std::optional<Curves::Set>& set) {
    std::vector<double> y;
    if (set && set->master)
        for (const auto& point : *set->master) y.push_back(point[1]);
    return y;
}

TEST(ToneSliders, DeltaInterpolatesBetweenTableRows) {
    const auto& contrast = ToneSliders::contrast;
    struct Case {
        double value;
        int tone;
        double expected;
    };
    const Case cases[] = {
        {0, 7, 0},
        {25, 4, -0.053 / 2},                   // half way between the zero row and +50
        {50, 20, 0.015},
        {75, 10, (-0.02 + -0.041) / 2},        // half way between +50 and +100
        {400, 0, -0.032},                      // clamped to +100
        {-75, 0, (0.056 + 0.025) / 2},
        {-100, 20, -0.035},
        {-1000, 20, -0.035},
        {-25, 12, -0.007 / 2},
    };
    for (const auto& c : cases)
        EXPECT_NEAR(RangeEnds::delta(c.value, contrast)[c.tone], c.expected, 1e-12)
            << "value " << c.value << " tone " << c.tone;
    EXPECT_EQ(RangeEnds::delta(400, ToneSliders::highlights), RangeEnds::delta(100, ToneSliders::highlights));
}

TEST(ToneSliders, CurvesFromLooks) {
    struct Case {
        const char* name;
        Look look;
        std::vector<std::pair<int, double>> points;  // (index i of input i / 20, expected y)
    };
    Look blacks;
    blacks.blacks = -100;
    Look whitesThenBlacks;
    whitesThenBlacks.whites = -100;
    whitesThenBlacks.blacks = 100;
    Look curveShadows;
    curveShadows.curveShadows = 100;
    // whites −100 at 0.5 gives 0.466; blacks +100 is then read at 0.466 = tone 9.32.
    const double chained = 0.466 + 0.68 * 0.074 + 0.32 * 0.068;
    const Case cases[] = {
        {"blacks", blacks, {{0, 0}, {1, 0.05 - 0.049}, {20, 1}}},
        {"whitesThenBlacks", whitesThenBlacks, {{10, chained}}},
    };
    for (const auto& c : cases) {
        const auto y = masterY(ToneSliders::curves(c.look));
        ASSERT_EQ(y.size(), 21u) << c.name;
        for (const auto& [i, expected] : c.points) EXPECT_NEAR(y[i], expected, 1e-9) << c.name << " point " << i;
    }

    const auto shadows = ParametricCurve::curves(curveShadows);
    ASSERT_TRUE(shadows && shadows->master);
    EXPECT_FALSE(shadows->red || shadows->green || shadows->blue);
    const auto& points = *shadows->master;
    ASSERT_EQ(points.size(), 21u);
    EXPECT_NEAR(points[4][0], 0.2, 1e-12);
    EXPECT_NEAR(points[4][1], 0.2 + 0.117, 1e-12);
    for (int i = 17; i <= 20; ++i) EXPECT_NEAR(points[i][1], i / 20.0, 1e-12) << i;
    // The parametric regions do not answer to the tone sliders, nor the other way round.
    EXPECT_FALSE(ToneSliders::curves(curveShadows));
    EXPECT_FALSE(ParametricCurve::curves(blacks));

    Look zeros;
    zeros.contrast = 0;
    zeros.highlights = 0;
    zeros.curveDarks = 0;
    EXPECT_FALSE(ToneSliders::curves(zeros));
    EXPECT_FALSE(ParametricCurve::curves(zeros));
    EXPECT_FALSE(ToneSliders::curves(Look::neutral()));
}

TEST(ToneSliders, ComposeChainsAndNeverFalls) {
    // A bump at 0.05 lifts that point above the next ones: they are held level.
    RangeEnds::Deltas bump{};
    bump[1] = 0.5;
    const RangeEnds::Deltas list[] = {bump};
    const auto curve = ToneSliders::compose(list);
    EXPECT_DOUBLE_EQ(curve[0], 0);
    EXPECT_DOUBLE_EQ(curve[1], 0.55);
    EXPECT_DOUBLE_EQ(curve[2], 0.55);  // 0.1 would be lower
    EXPECT_DOUBLE_EQ(curve[11], 0.55);
    EXPECT_DOUBLE_EQ(curve[12], 0.6);
    EXPECT_TRUE(std::is_sorted(curve.begin(), curve.end()));

    // Results stay in 0…1 and no corrections is the diagonal.
    RangeEnds::Deltas push{};
    push.fill(0.3);
    const RangeEnds::Deltas twice[] = {push, push};
    const auto clipped = ToneSliders::compose(twice);
    EXPECT_DOUBLE_EQ(clipped[0], 0.6);
    EXPECT_DOUBLE_EQ(clipped[20], 1);
    const auto diagonal = ToneSliders::compose({});
    for (int i = 0; i <= 20; ++i) EXPECT_DOUBLE_EQ(diagonal[i], i / 20.0);
}

Curves::Set set(std::optional<Curves::Points> master, std::optional<Curves::Points> red = std::nullopt) {
    Curves::Set s;
    s.master = std::move(master);
    s.red = std::move(red);
    return s;
}

TEST(Curves, SampleNoCurve) {
    const std::optional<Curves::Points> none[] = {
        std::nullopt,
        Curves::Points{},
        Curves::Points{{0.5, 0.5}},
        Curves::Points{{0.3, 0.1}, {0.3000005, 0.9}},  // same x within 1e-6, neighbours
        Curves::Points{{0.2}, {0.5, 0.5}},             // too short an entry is skipped
    };
    for (const auto& list : none) {
        EXPECT_FALSE(Curves::sample(list));
        EXPECT_FALSE(Curves::channelTables(set(list, list)));
    }
    EXPECT_FALSE(Curves::channelTables(Curves::Set{}));
}

TEST(Curves, SampleShapes) {
    const auto identity = Curves::sample(Curves::Points{{0, 0}, {1, 1}});
    ASSERT_TRUE(identity);
    for (int i = 0; i < 256; ++i) EXPECT_NEAR((*identity)[i], i / 255.0, 1e-12) << i;

    // Order of the input does not matter.
    EXPECT_EQ(Curves::sample(Curves::Points{{1, 1}, {0, 0}, {0.5, 0.7}}),
              Curves::sample(Curves::Points{{0, 0}, {0.5, 0.7}, {1, 1}}));

    // Tangents 1.4, 1 and 0.6; at input 0.2 (entry 51, t = 0.4 in the first segment):
    // 0.7·(t³ − 2t² + t) + 0.7·(3t² − 2t³) + 0.5·(t³ − t²) = 0.2992.
    EXPECT_NEAR((*Curves::sample(Curves::Points{{0, 0}, {0.5, 0.7}, {1, 1}}))[51], 0.2992, 1e-12);

    // Out-of-range points are clamped: [1.4, −0.2] is (1, 0).
    EXPECT_EQ(Curves::sample(Curves::Points{{0, 0.5}, {1.4, -0.2}}), Curves::sample(Curves::Points{{0, 0.5}, {1, 0}}));

    // Opposite secants give a flat tangent: the peak stays at x = 0.5.
    const auto peak = *Curves::sample(Curves::Points{{0, 0}, {0.5, 0.5}, {1, 0.2}});
    EXPECT_TRUE(std::is_sorted(peak.begin(), peak.begin() + 128));
    EXPECT_TRUE(std::is_sorted(peak.rbegin(), peak.rbegin() + 128));
    EXPECT_LT(*std::max_element(peak.begin(), peak.end()), 0.5);
    EXPECT_GT(peak[127], 0.4999);

    // Below the first point the output is its y.
    const auto lifted = *Curves::sample(Curves::Points{{0.2, 0.3}, {1, 1}});
    for (int i = 0; i <= 51; ++i) EXPECT_DOUBLE_EQ(lifted[i], 0.3) << i;
    EXPECT_GT(lifted[52], 0.3);

    // A steep start is limited so the curve never overshoots or falls.
    const auto steep = *Curves::sample(Curves::Points{{0, 0}, {0.1, 0.9}, {1, 1}});
    EXPECT_TRUE(std::is_sorted(steep.begin(), steep.end()));
    EXPECT_LE(steep[255], 1.0);

    // Equal x that meet only after sorting make a zero-width step; the rest stays finite and in range.
    const auto step = *Curves::sample(Curves::Points{{0.5, 0.2}, {1, 1}, {0.5, 0.8}, {0, 0}});
    for (double v : step) {
        EXPECT_TRUE(std::isfinite(v));
        EXPECT_GE(v, 0);
        EXPECT_LE(v, 1);
    }
}

TEST(Curves, ChannelTablesComposeMasterThenChannel) {
    // Master halves every value; red then doubles up to 0.5.
    const auto tables = Curves::channelTables(set(Curves::Points{{0, 0}, {1, 0.5}}, Curves::Points{{0, 0}, {0.5, 1}}));
    ASSERT_TRUE(tables);
    EXPECT_NEAR(tables->green[100], 0.5 * 100 / 255, 1e-12);
    EXPECT_EQ(tables->green, tables->blue);
    EXPECT_NEAR(tables->red[100], 100 / 255.0, 1e-12);

    // Only red: green and blue are straight lines.
    Curves::Set onlyRed;
    onlyRed.red = Curves::Points{{0, 0.2}, {1, 0.8}};
    const auto red = Curves::channelTables(onlyRed);
    ASSERT_TRUE(red);
    for (int i = 0; i < 256; i += 15) {
        EXPECT_NEAR(red->green[i], i / 255.0, 1e-12);
        EXPECT_NEAR(red->blue[i], i / 255.0, 1e-12);
        EXPECT_NEAR(red->red[i], 0.2 + 0.6 * i / 255.0, 1e-12);
    }
    const auto floats = Curves::interleaved(*red);
    EXPECT_FLOAT_EQ(floats[3 * 255], 0.8f);
    EXPECT_FLOAT_EQ(floats[3 * 255 + 1], 1.0f);

    // Per pixel: channels clamp to 0…1 and interpolate between entries.
    const auto pixel = Curves::apply(*red, {-0.2f, 0.5f, 1.7f});
    EXPECT_NEAR(pixel.r, 0.2, 1e-6);
    EXPECT_NEAR(pixel.g, 0.5, 1e-6);
    EXPECT_NEAR(pixel.b, 1.0, 1e-6);
    EXPECT_NEAR(Curves::lookup(red->red, 0.5), 0.5, 1e-9);
}

}  // namespace
