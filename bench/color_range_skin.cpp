// Cost of the colour-range skin selection (segmentation and faces included)
// on a fixture portrait scaled to a 2048-pixel and to a 24 MP working image.
// Targets: 150 ms wall at 2048 px, 1.5 s at 24 MP adding at most 600 MB to
// the peak memory (the "peakMB" counter: the process's peak resident size
// after the runs, which includes the picture itself).
//
//   bench_color_range_skin [PORTRAIT.jpg]

#include <sys/resource.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/image.h"
#include "engine/portrait/color_range_skin.h"

namespace {

std::string portrait = "../shared/fixtures/portraits/webmorph_london030_eastasian_woman_smile.jpg";

Imaging::Image working(int width, int height) {
    const cv::Mat bgr = cv::imread(portrait);
    if (bgr.empty()) return {};
    cv::Mat rgb, scaled;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    cv::resize(rgb, scaled, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    cv::Mat rgba;
    cv::cvtColor(scaled, rgba, cv::COLOR_RGB2RGBA);
    rgba.convertTo(rgba, CV_32FC4, 1.0 / 255.0);
    return Imaging::Image(rgba);
}

double peakMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

void Make(benchmark::State& state) {
    const Imaging::Image image = working(int(state.range(0)), int(state.range(1)));
    if (image.empty()) {
        state.SkipWithError("no portrait (run from the repository root, or name one)");
        return;
    }
    const double before = peakMB();
    for (auto _ : state) benchmark::DoNotOptimize(ColorRangeSkin::make(image));
    state.counters["peakMB"] = peakMB();
    state.counters["peakBeforeMB"] = before;
}
BENCHMARK(Make)->Args({2048, 2048})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Make)->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) portrait = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
