// Costs of the wire records and of walking folders.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/library/extraction.h"
#include "engine/protocol/output.h"
#include "engine/protocol/records.h"

namespace fs = std::filesystem;

static void DecodePreviewRequest(benchmark::State& state) {
    const std::string line =
        R"({"id":123456,"src":"/Volumes/Photos/2024/05/IMG_0001.CR3","out":"/Users/p/Library/Caches/thumbs/ab/IMG_0001.jpg",)"
        R"("max":400,"fp":true,"analysis":true,"gen":42,"urgent":false})";
    for (auto _ : state) benchmark::DoNotOptimize(Protocol::decodeRequest(line));
}
BENCHMARK(DecodePreviewRequest);

static void EncodeFullResult(benchmark::State& state) {
    Protocol::Result result;
    result.id = 123456;
    result.gen = 42;
    result.ok = true;
    result.file = "IMG_0001.CR3";
    result.rawW = 8192;
    result.rawH = 5464;
    result.previewW = 400;
    result.previewH = 267;
    result.bytes = 31873;
    result.shotAt = "2024:05:18 14:02:11";
    result.camera = "Canon EOS R5";
    result.lens = "RF24-70mm F2.8 L IS USM";
    result.focalLength = 35;
    result.exposureTime = 1.0 / 250;
    result.aperture = 2.8;
    result.iso = 400;
    result.orientation = 1;
    result.out = "/Users/p/Library/Caches/thumbs/ab/IMG_0001.jpg";
    result.fp = std::string(2048, 'A');
    result.ms = 12.375;
    for (auto _ : state)
        benchmark::DoNotOptimize(Protocol::encodeLine(Protocol::toJSON(result), Protocol::InvalidText::replace));
}
BENCHMARK(EncodeFullResult);

// A tree of folders holding `files` empty photo files in all.
class Tree {
public:
    explicit Tree(int files) {
        root_ = fs::temp_directory_path() / ("merrow-bench-" + std::to_string(std::random_device{}()));
        for (int i = 0; i < files; ++i) {
            fs::path folder = root_ / ("day" + std::to_string(i % 20)) / ("card" + std::to_string(i % 3));
            fs::create_directories(folder);
            std::ofstream(folder / ("IMG_" + std::to_string(i) + (i % 4 ? ".CR3" : ".MOV")));
        }
    }
    ~Tree() { fs::remove_all(root_); }
    const fs::path& root() const { return root_; }

private:
    fs::path root_;
};

static void ListRecursive(benchmark::State& state) {
    Tree tree(int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Extraction::listFolder(tree.root(), true));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ListRecursive)->Arg(5000)->Unit(benchmark::kMillisecond);

static void Survey(benchmark::State& state) {
    Tree tree(int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(Extraction::survey(tree.root()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Survey)->Arg(5000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
