// Render timings of the develop pipeline on a camera RAW file.
//
//   DEVELOP_BENCH_RAW=photo.dng build/bench/bench_develop
//
// Fresh: a final render at 2048 pixels with a neutral look (RAW decode
// included). Interactive: a re-render while editing, where the decode comes
// from the cache and only exposure and crop change. peakRSS is the process's
// high-water mark in MiB. CPU is the time of all threads of the process;
// mainCPU_ms is the calling thread's share per iteration. On a shared
// machine the wall time grows with the load, while max(mainCPU, CPU / cores)
// estimates the wall time of an idle one.

#include <cstdlib>
#include <filesystem>

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include "engine/develop/decode.h"
#include "engine/develop/render.h"

namespace {

std::filesystem::path rawFile() {
    const char* path = std::getenv("DEVELOP_BENCH_RAW");
    return path ? path : "";
}

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

// Records the calling thread's CPU time per iteration from here to the end of the benchmark.
struct MainThreadCPU {
    benchmark::State& state;
    double start = threadCPUms();
    ~MainThreadCPU() {
        if (state.iterations() > 0) state.counters["mainCPU_ms"] = (threadCPUms() - start) / double(state.iterations());
    }
};

Develop::Look lookOf(const char* json) { return *Develop::decodeLook(nlohmann::json::parse(json)); }

void freshRender(benchmark::State& state) {
    const auto raw = rawFile();
    if (raw.empty()) return state.SkipWithError("set DEVELOP_BENCH_RAW to a RAW file");
    const auto out = std::filesystem::temp_directory_path() / "bench-develop-fresh.jpg";
    MainThreadCPU mainCPU{state};
    for (auto _ : state) {
        const auto rendered = Develop::renderToJPEG(Develop::RenderRequest{
            .source = raw, .look = Develop::Look::neutral(), .dest = out, .longEdge = 2048, .quality = 0.85});
        benchmark::DoNotOptimize(rendered);
    }
    state.counters["peakRSS_MiB"] = peakRSSMiB();
}

void interactiveRerender(benchmark::State& state) {
    const auto raw = rawFile();
    if (raw.empty()) return state.SkipWithError("set DEVELOP_BENCH_RAW to a RAW file");
    const auto out = std::filesystem::temp_directory_path() / "bench-develop-interactive.jpg";
    const Develop::Look looks[] = {
        lookOf(R"({"exposure": 0.3, "crop": {"left": 0.05, "top": 0.05, "right": 0.95, "bottom": 0.95}})"),
        lookOf(R"({"exposure": 0.6, "crop": {"left": 0.1, "top": 0.1, "right": 0.9, "bottom": 0.9, "angle": 2}})"),
    };
    // Fill the decode cache once.
    Develop::renderToJPEG(Develop::RenderRequest{
        .source = raw, .look = looks[0], .dest = out, .longEdge = 2048, .quality = 0.85, .interactive = true});
    int i = 0;
    MainThreadCPU mainCPU{state};
    for (auto _ : state) {
        const auto rendered = Develop::renderToJPEG(Develop::RenderRequest{.source = raw,
                                                                           .look = looks[i++ % 2],
                                                                           .dest = out,
                                                                           .longEdge = 2048,
                                                                           .quality = 0.85,
                                                                           .interactive = true});
        benchmark::DoNotOptimize(rendered);
    }
    state.counters["peakRSS_MiB"] = peakRSSMiB();
}

void decodeOnly(benchmark::State& state) {
    const auto raw = rawFile();
    if (raw.empty()) return state.SkipWithError("set DEVELOP_BENCH_RAW to a RAW file");
    MainThreadCPU mainCPU{state};
    for (auto _ : state) benchmark::DoNotOptimize(Develop::decode(raw, Develop::Look::neutral(), 2048));
}

}  // namespace

BENCHMARK(freshRender)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);
BENCHMARK(interactiveRerender)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(20);
BENCHMARK(decodeOnly)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);
BENCHMARK_MAIN();
