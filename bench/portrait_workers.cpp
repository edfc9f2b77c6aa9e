// What the engine itself spends around an external portrait worker: starting
// and reaping a process through the worker runner, and the PNG files it hands
// over and reads back for a 24-megapixel photo (the largest a local
// correction takes).

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <sys/stat.h>

#include "engine/imaging/png_file.h"
#include "engine/portrait/portrait_local_correction.h"
#include "engine/portrait/worker_process.h"

namespace {

std::filesystem::path scratchFile(const char* name) {
    return std::filesystem::temp_directory_path() / ("merrow-bench-" + std::to_string(::getpid()) + "-" + name);
}

Imaging::Bitmap photoLike(int width, int height) {
    Imaging::Bitmap bitmap(width, height, 4);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap.row(y);
        for (int x = 0; x < width; ++x, row += 4) {
            row[0] = std::uint8_t((x * 7 + y) >> 4);
            row[1] = std::uint8_t((x + y * 3) >> 4);
            row[2] = std::uint8_t((x ^ y) & 0xFF);
            row[3] = 255;
        }
    }
    return bitmap;
}

void RunTrueWorker(benchmark::State& state) {
    for (auto _ : state) {
        const auto outcome = WorkerProcess::run("/bin/true", {}, {{"HF_HUB_OFFLINE", "1"}});
        benchmark::DoNotOptimize(outcome.status);
    }
}
BENCHMARK(RunTrueWorker)->Unit(benchmark::kMillisecond);

void WriteInputPNG24MP(benchmark::State& state) {
    const Imaging::Bitmap bitmap = photoLike(6000, 4000);
    const auto file = scratchFile("input.png");
    for (auto _ : state) benchmark::DoNotOptimize(PNGFile::writeRGBA8(file, bitmap));
    state.counters["MB"] = double(std::filesystem::file_size(file)) / 1e6;
    std::filesystem::remove(file);
}
BENCHMARK(WriteInputPNG24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

void ReadOutputPNG24MP(benchmark::State& state) {
    const auto file = scratchFile("output.png");
    PNGFile::writeRGBA8(file, photoLike(6000, 4000));
    for (auto _ : state) benchmark::DoNotOptimize(PNGFile::read(file));
    std::filesystem::remove(file);
}
BENCHMARK(ReadOutputPNG24MP)->Unit(benchmark::kMillisecond)->UseRealTime();

// A whole local correction of a 24-megapixel picture around a worker that
// does nothing but copy its input into the three outputs: the engine's share
// (input PNG, reading three outputs back) and then one strength change.
void LocalCorrection24MP(benchmark::State& state) {
    const std::filesystem::path folder = scratchFile("runtime");
    std::filesystem::create_directories(folder / "analysis");
    {
        std::ofstream script(folder / "studio_copy.sh");
        script << "out=$6\ncp \"$2\" \"$out/positive.png\"\ncp \"$2\" \"$out/negative.png\"\n"
                  "cp \"$2\" \"$out/scores.png\"\necho '{}'\n";
    }
    ::setenv("MERROW_PORTRAIT_PYTHON", "/bin/sh", 1);
    ::setenv("MERROW_PORTRAIT_WORKER", (folder / "worker").c_str(), 1);
    ::setenv("MERROW_PORTRAIT_SCRATCH", folder.c_str(), 1);
    PortraitAnalysis::Result analysis;
    analysis.directory = folder / "analysis";
    const Imaging::Image image = Imaging::fromBitmap(photoLike(6000, 4000));
    for (auto _ : state) {
        const auto prepared = PortraitLocalCorrection::prepare(image, analysis, "studio_copy.sh", {}, true);
        benchmark::DoNotOptimize(prepared.apply(image, 0.5));
    }
    std::filesystem::remove_all(folder);
}
BENCHMARK(LocalCorrection24MP)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
