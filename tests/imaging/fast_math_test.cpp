// The branch-free maths functions against the library's, over the ranges
// they are meant for.

#include <cmath>
#include <functional>
#include <numbers>

#include <gtest/gtest.h>

#include "engine/imaging/fast_math.h"

namespace {

struct Sweep {
    const char* name;
    double from, to;
    std::function<double(float)> fast, exact;
    bool relative;
    double tolerance;
};

TEST(FastMath, FunctionsStayCloseToTheLibraryOnes) {
    constexpr double halfPi = std::numbers::pi / 2;
    const Sweep sweeps[] = {
        {"exp2", -126, 30, [](float x) { return FastMath::exp2(x); }, [](float x) { return std::exp2(double(x)); }, true, 1.5e-6},
        {"log2 of 2^x", -120, 120, [](float x) { return FastMath::log2(std::exp2(x)); },
         [](float x) { return std::log2(double(std::exp2(x))); }, false, 1e-6},
        {"log2 near 1", 0.5, 2, [](float x) { return FastMath::log2(x); }, [](float x) { return std::log2(double(x)); }, false, 1e-6},
        {"sin", -halfPi, halfPi, [](float x) { return FastMath::sinSmall(x); }, [](float x) { return std::sin(double(x)); }, false, 2e-7},
        {"cos", -halfPi, halfPi, [](float x) { return FastMath::cosSmall(x); }, [](float x) { return std::cos(double(x)); }, false, 2e-7},
    };
    for (const Sweep& s : sweeps) {
        double worst = 0;
        for (int i = 0; i <= 200000; ++i) {
            const float x = float(s.from + (s.to - s.from) * i / 200000);
            const double exact = s.exact(x), error = std::fabs(s.fast(x) - exact);
            worst = std::max(worst, s.relative ? error / exact : error);
        }
        EXPECT_LE(worst, s.tolerance) << s.name;
    }
    EXPECT_EQ(FastMath::exp2(-1000), std::exp2(-126.0f));  // small powers bottom out instead of wrapping
}

TEST(FastMath, Atan2CoversEveryQuadrantAndTheAxes) {
    double worst = 0;
    for (int i = -400; i <= 400; ++i)
        for (int j = -400; j <= 400; ++j) {
            const float y = float(i) / 97, x = float(j) / 89;
            worst = std::max(worst, std::fabs(double(FastMath::atan2(y, x)) - std::atan2(double(y), double(x))));
        }
    EXPECT_LE(worst, 4e-7);
    EXPECT_EQ(FastMath::atan2(0, 0), 0.0f);
    EXPECT_NEAR(FastMath::atan2(0, -1), std::numbers::pi_v<float>, 1e-7);
    EXPECT_NEAR(FastMath::atan2(-1e-30f, 1), 0, 1e-7);
    EXPECT_NEAR(FastMath::atan2(1e30f, 1e-30f), std::numbers::pi_v<float> / 2, 1e-7);
}

}  // namespace
