// The colour-range retouch pass inside whole renders, on a fixture portrait
// scaled to a 2048-pixel JPEG (interactive) and to a 24 MP JPEG (export).
// The look is smoothing 50, spots 50, evenness 30, under-eye 30, eye whites
// 40, teeth 40.
//
//   bench_color_range_pass [PORTRAIT.jpg]
//   bench_color_range_pass --benchmark_filter=Export   (alone, for its peakRSS)
//
// Targets, each against the plain render of the same kind beside it:
// - First: a render whose pass caches are cold (each iteration sets
//   skinMaskFeather, which nothing reads but every cache key holds, to a new
//   value; PlainFirst does the same without portrait values) at most 1.2 s more.
// - Smooth / Whites / Teeth: re-renders with only skinRangeSmooth, eyeWhites
//   or teethWhiten changed, against PlainRerender: at most 60, 80, 80 ms more.
// - Export: a 24 MP render at full size, not interactive: peak RSS at most
//   2.5 GB; the wall time is reported.
// Counters: peakRSS (MiB, the process's high-water mark), mainCPU_ms (the
// calling thread's CPU per iteration) and, per iteration, the selections,
// spot healings and smoothing preparations the pass computed. On a shared
// machine compare figures measured back to back.

#include <sys/resource.h>
#include <time.h>

#include <cstdlib>
#include <filesystem>
#include <exception>
#include <string>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/develop/render.h"
#include "engine/portrait/color_range_pass.h"

namespace fs = std::filesystem;

namespace {

std::string portrait = "../shared/fixtures/portraits/webmorph_london030_eastasian_woman_smile.jpg";

double peakRSSMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

double threadCPUms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The portrait scaled so that its long edge is `longEdge`, written once as a JPEG.
fs::path scaled(int longEdge) {
    const fs::path out = fs::temp_directory_path() / ("bench-color-range-" + std::to_string(longEdge) + ".jpg");
    if (fs::exists(out)) return out;
    const cv::Mat bgr = cv::imread(portrait);
    if (bgr.empty()) return {};
    const double s = double(longEdge) / std::max(bgr.cols, bgr.rows);
    cv::Mat big;
    cv::resize(bgr, big, cv::Size(int(bgr.cols * s), int(bgr.rows * s)), 0, 0, cv::INTER_CUBIC);
    cv::imwrite(out.string(), big, {cv::IMWRITE_JPEG_QUALITY, 95});
    return out;
}

Develop::Look portraitLook() {
    return *Develop::decodeLook(nlohmann::json{{"skinRangeSmooth", 50}, {"skinSpots", 50}, {"skinRangeTone", 30},
                                               {"skinRangeUnderEye", 30}, {"eyeWhites", 40}, {"teethWhiten", 40}});
}

// Renders once per iteration, the look made by `lookFor(iteration)`, and reports the counters.
template <class LookFor>
void renders(benchmark::State& state, const fs::path& source, int longEdge, bool interactive, LookFor&& lookFor) {
    if (source.empty()) return state.SkipWithError("the portrait fixture is missing (give its path)");
    const fs::path out = fs::temp_directory_path() / "bench-color-range-out.jpg";
    Develop::RenderRequest request;
    request.source = source;
    request.dest = out;
    request.longEdge = longEdge;
    request.interactive = interactive;
    // Warm: the decode cache and the one-time set-ups (models, kernels).
    request.look = lookFor(-1);
    try {
        if (!Develop::renderToJPEG(request)) return state.SkipWithError("render failed");
    } catch (const std::exception& failure) {
        return state.SkipWithError(failure.what());  // a model missing, say
    }
    const ColorRangeSkin::Work before = ColorRangeSkin::work();
    const double cpu = threadCPUms();
    long iteration = 0;
    for (auto _ : state) {
        request.look = lookFor(iteration++);
        if (!Develop::renderToJPEG(request)) return state.SkipWithError("render failed");
    }
    const ColorRangeSkin::Work after = ColorRangeSkin::work();
    const double n = double(state.iterations());
    state.counters["mainCPU_ms"] = (threadCPUms() - cpu) / n;
    state.counters["selections"] = double(after.selections - before.selections) / n;
    state.counters["spotHealings"] = double(after.spotHealings - before.spotHealings) / n;
    state.counters["preparations"] = double(after.preparations - before.preparations) / n;
    state.counters["peakRSS"] = peakRSSMiB();
}

// A look whose every cache key is new: skinMaskFeather is read by nothing.
Develop::Look fresh(Develop::Look look, long iteration) {
    static long salt = 0;
    look.skinMaskFeather = double(++salt) + 0.001 * double(iteration + 2);
    return look;
}

void PlainFirst(benchmark::State& state) {
    renders(state, scaled(2048), 2048, true, [](long i) { return fresh(Develop::Look::neutral(), i); });
}

void First(benchmark::State& state) {
    renders(state, scaled(2048), 2048, true, [](long i) { return fresh(portraitLook(), i); });
}

void PlainRerender(benchmark::State& state) {
    renders(state, scaled(2048), 2048, true, [](long) { return Develop::Look::neutral(); });
}

// Re-renders with one value alternating between two amounts.
void Smooth(benchmark::State& state) {
    renders(state, scaled(2048), 2048, true, [](long i) {
        Develop::Look look = portraitLook();
        look.skinRangeSmooth = i % 2 ? 50 : 70;
        return look;
    });
}

void Whites(benchmark::State& state) {
    renders(state, scaled(2048), 2048, true, [](long i) {
        Develop::Look look = portraitLook();
        look.eyeWhites = i % 2 ? 40 : 60;
        return look;
    });
}

void Teeth(benchmark::State& state) {
    renders(state, scaled(2048), 2048, true, [](long i) {
        Develop::Look look = portraitLook();
        look.teethWhiten = i % 2 ? 40 : 60;
        return look;
    });
}

// 24 MP (4898 × 4898 from the square fixture) at full size, not interactive.
void PlainExport(benchmark::State& state) {
    renders(state, scaled(4898), 0, false, [](long) { return Develop::Look::neutral(); });
}

void Export(benchmark::State& state) {
    renders(state, scaled(4898), 0, false, [](long) { return portraitLook(); });
}

}  // namespace

BENCHMARK(PlainFirst)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);
BENCHMARK(First)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);
BENCHMARK(PlainRerender)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(Smooth)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(Whites)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(Teeth)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(PlainExport)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(Export)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1 && argv[1][0] != '-') portrait = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
