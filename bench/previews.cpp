// Preview extraction of a 24 MP DNG (embedded 6000x4000 JPEG) and a 24 MP JPEG:
// open + metadata + preview at 400 + JPEG write, as the thumbnail request does.
//
// The test files are made on first run in the system's temporary folder from the
// 6000x4000 preview inside the shared Nikon D7100 sample (../shared beside the
// repository, or MERROW_FIXTURES); without them the benchmarks report an error.

#include <benchmark/benchmark.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "engine/library/extraction.h"

namespace fs = std::filesystem;

namespace {

std::optional<fs::path> fixturesDir() {
    if (const char* env = std::getenv("MERROW_FIXTURES"); env && fs::is_directory(env)) return fs::path(env);
    fs::path candidate = fs::path(__FILE__).parent_path().parent_path().parent_path() / "shared" / "fixtures";
    if (fs::is_directory(candidate)) return candidate;
    return std::nullopt;
}

fs::path workDir() {
    fs::path dir = fs::temp_directory_path() / "merrow-bench-previews";
    fs::create_directories(dir);
    return dir;
}

// The largest embedded JPEG of the NEF sample, written out as a 24 MP JPEG.
std::optional<fs::path> bigJPEG() {
    fs::path out = workDir() / "big.jpg";
    if (fs::exists(out)) return out;
    auto fixtures = fixturesDir();
    if (!fixtures) return std::nullopt;
    try {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        auto image = Exiv2::ImageFactory::open((*fixtures / "raw/partial/imagemeta_NikonD7100_truncated.nef").string());
        image->readMetadata();
        Exiv2::PreviewManager manager(*image);
        auto list = manager.getPreviewProperties();
        if (list.empty()) return std::nullopt;
        Exiv2::PreviewImage preview = manager.getPreviewImage(list.back());  // sorted smallest first
        std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(preview.pData()), preview.size());
        return out;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<fs::path> bigDNG() {
    fs::path out = workDir() / "big.dng";
    if (fs::exists(out)) return out;
    auto jpeg = bigJPEG();
    auto fixtures = fixturesDir();
    if (!jpeg || !fixtures) return std::nullopt;
    std::string command = "'" + (*fixtures / ".." / "tools" / "make-dng").string() + "' '" + jpeg->string() + "' '" +
                          out.string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || !fs::exists(out)) return std::nullopt;
    return out;
}

void thumbnail(benchmark::State& state, const std::optional<fs::path>& file) {
    if (!file) {
        state.SkipWithError("shared sample photos or make-dng are not available");
        return;
    }
    fs::path out = workDir() / ("out-" + file->filename().string() + ".jpg");
    bool rendered = Extraction::isRendered(*file);
    for (auto _ : state) {
        auto source = Extraction::open(*file);
        if (!source) {
            state.SkipWithError("cannot open the test file");
            return;
        }
        auto metadata = Extraction::metadata(*source);
        auto image = Extraction::preview(*source, 400, rendered, true);
        if (!image) {
            state.SkipWithError("no preview");
            return;
        }
        benchmark::DoNotOptimize(metadata);
        benchmark::DoNotOptimize(Extraction::writeJPEG(*image, out, 0.82));
    }
}

void BM_ThumbnailOf24MPDNG(benchmark::State& state) { thumbnail(state, bigDNG()); }
void BM_ThumbnailOf24MPJPEG(benchmark::State& state) { thumbnail(state, bigJPEG()); }

void BM_OpenAndMetadataOf24MPDNG(benchmark::State& state) {
    auto file = bigDNG();
    if (!file) {
        state.SkipWithError("shared sample photos or make-dng are not available");
        return;
    }
    for (auto _ : state) {
        auto source = Extraction::open(*file);
        if (source) benchmark::DoNotOptimize(Extraction::metadata(*source));
    }
}

}  // namespace

BENCHMARK(BM_ThumbnailOf24MPDNG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ThumbnailOf24MPJPEG)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenAndMetadataOf24MPDNG)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
