// Camera profile costs: building the 96³ colour cube of a large profile
// (90 × 30 × 30 look table plus a 90 × 30 hue/saturation map) on all cores,
// and applying a cube to a render of 2048 pixels on the long edge.

#include <cmath>
#include <filesystem>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>

#include "engine/camera/blue_violet.h"
#include "engine/camera/colour_cube.h"

using namespace CameraProfile;

namespace {

// An installed profile with a 90 × 30 × 30 look table when there is one,
// otherwise a made-up profile of the same size.
CubeRecipe largeRecipe() {
    CubeRecipe recipe;
    const std::filesystem::path installed = "/usr/share/rawtherapee/dcpprofiles/Canon EOS 20D.dcp";
    if (auto dcp = DCP::parse(installed); dcp && dcp->lookDims.hue == 90 && dcp->lookDims.val == 30) {
        recipe.dcp = *dcp;
    } else {
        recipe.dcp.toneCurve = {0, 0, 0.25, 0.2, 0.5, 0.55, 0.75, 0.85, 1, 1};
        recipe.dcp.lookDims = {90, 30, 30};
        recipe.dcp.hueSatDims = {90, 30, 1};
        for (std::uint32_t i = 0; i < 90 * 30 * 30; ++i)
            recipe.dcp.lookTable.insert(recipe.dcp.lookTable.end(), {float(std::sin(i * 0.01) * 4), 0.95f, 1.02f});
        for (std::uint32_t i = 0; i < 90 * 30; ++i)
            recipe.dcp.hueSatTable.insert(recipe.dcp.hueSatTable.end(), {float(std::cos(i * 0.03) * 3), 1.05f, 1.0f});
        recipe.dcp.lookEncoding = 1;
    }
    recipe.bridge = bridge("Canon EOS R6 Mark II").matrix;
    return recipe;
}

void BM_BuildCube(benchmark::State& state) {
    const CubeRecipe recipe = largeRecipe();
    for (auto _ : state) {
        auto cube = buildCube(recipe);
        benchmark::DoNotOptimize(cube.data());
    }
    state.SetItemsProcessed(state.iterations() * cubeDimension * cubeDimension * cubeDimension);
}
BENCHMARK(BM_BuildCube)->Unit(benchmark::kMillisecond)->UseRealTime();

struct Pixel {
    float r, g, b, a;
};

// Trilinear cube lookup of one pixel (inputs clamped to 0…1), red fastest.
Pixel lookup(const std::vector<float>& cube, int n, const Pixel& p) {
    auto axis = [n](float v, int& i0, float& f) {
        const float x = std::clamp(v, 0.0f, 1.0f) * float(n - 1);
        i0 = std::min(int(x), n - 2);
        f = x - float(i0);
    };
    int r0, g0, b0;
    float fr, fg, fb;
    axis(p.r, r0, fr);
    axis(p.g, g0, fg);
    axis(p.b, b0, fb);
    float out[3] = {0, 0, 0};
    for (int corner = 0; corner < 8; ++corner) {
        const int dr = corner & 1, dg = corner >> 1 & 1, db = corner >> 2;
        const float w = (dr ? fr : 1 - fr) * (dg ? fg : 1 - fg) * (db ? fb : 1 - fb);
        const float* e = cube.data() + ((std::size_t(b0 + db) * n + (g0 + dg)) * n + (r0 + dr)) * 4;
        for (int k = 0; k < 3; ++k) out[k] += w * e[k];
    }
    return {out[0], out[1], out[2], p.a};
}

void BM_ApplyCube2048(benchmark::State& state) {
    const auto cube = buildCube(largeRecipe());
    const int width = 2048, height = 1365;
    std::vector<Pixel> in(std::size_t(width) * height), out(in.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            in[std::size_t(y) * width + x] = {x / float(width), y / float(height), ((x * 7 + y * 13) % 997) / 997.0f, 1};
    for (auto _ : state) {
        cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y)
                for (int x = 0; x < width; ++x) {
                    const std::size_t i = std::size_t(y) * width + x;
                    out[i] = lookup(cube, cubeDimension, in[i]);
                }
        });
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}
BENCHMARK(BM_ApplyCube2048)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BlueViolet(benchmark::State& state) {
    std::vector<Develop::RGB> in(512 * 512), out(in.size());
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] = {(i % 512) / 512.0f, (i / 512) / 512.0f, ((i * 7) % 512) / 512.0f};
    for (auto _ : state) {
        for (std::size_t i = 0; i < in.size(); ++i) out[i] = BlueViolet::correct(in[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(in.size()));
}
BENCHMARK(BM_BlueViolet)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
