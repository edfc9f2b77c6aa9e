// Cost of one person segmentation pass on one core: the network alone (about
// 59 M multiply-adds at 256 x 256), and the whole call on a 1350-pixel
// portrait (stretching to the input, the network, the 8-bit mask).
// Target: the network pass under 10 ms.

#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "engine/imaging/bitmap.h"
#include "engine/vision/person_segmentation.h"

namespace {

void Network(benchmark::State& state) {
    if (!PersonSegmentation::locate()) {
        state.SkipWithError("the person segmentation model is missing (scripts/fetch-selfie)");
        return;
    }
    std::vector<float> input(256 * 256 * 3);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = float((i * 7919) % 256) / 255.0f;
    for (auto _ : state) benchmark::DoNotOptimize(PersonSegmentation::probabilities(input));
}
BENCHMARK(Network)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void Picture(benchmark::State& state) {
    if (!PersonSegmentation::locate()) {
        state.SkipWithError("the person segmentation model is missing (scripts/fetch-selfie)");
        return;
    }
    Imaging::Bitmap picture(1350, 1350, 3);
    for (std::size_t i = 0; i < picture.pixels.size(); ++i) picture.pixels[i] = std::uint8_t((i * 7919) >> 3);
    for (auto _ : state) benchmark::DoNotOptimize(PersonSegmentation::segment(picture));
}
BENCHMARK(Picture)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
