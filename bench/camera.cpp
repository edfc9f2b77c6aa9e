// Camera profile costs: building the 96³ colour cube of a large profile
// (90 × 30 × 30 look table plus a 90 × 30 hue/saturation map) on all cores,
// and applying a profile's cube to a render of 2048 pixels on the long edge.

#include <cmath>
#include <filesystem>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/camera/blue_violet.h"
#include "engine/camera/camera_profile.h"
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

void BM_ApplyCube2048(benchmark::State& state) {
    CameraProfile::Profile profile;
    profile.cube = std::make_shared<const std::vector<float>>(buildCube(largeRecipe()));
    const int width = 2048, height = 1365;
    Imaging::Image image(Imaging::Rect{0, 0, width, height});
    for (int row = 0; row < height; ++row)
        for (int col = 0; col < width; ++col)
            image.at(col, row) = {col / float(width), row / float(height), ((col * 7 + row * 13) % 997) / 997.0f, 1};
    for (auto _ : state) {
        const auto lookup = CameraProfile::cubeLookup(profile);
        auto out = Imaging::mapRows(Imaging::Image(image), [&](const Imaging::Pixel* in, Imaging::Pixel* o, int n) {
            lookup->applyRow(in, o, n);
        });
        benchmark::DoNotOptimize(out);
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}
BENCHMARK(BM_ApplyCube2048)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_BlueViolet(benchmark::State& state) {
    std::vector<Colour::RGB> in(512 * 512), out(in.size());
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
