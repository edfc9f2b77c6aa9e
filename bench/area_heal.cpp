// Heal and remove stroke speed: one heal stroke of radius 40 px on a
// 2048-pixel picture, five heal strokes on a 24-megapixel picture, and one
// remove stroke with the small test model (scripts/remove-test-models.py,
// needs python3-onnx), beside the model's own run so that the difference is
// the engine's share.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "engine/healing/area_heal.h"
#include "engine/healing/remove_fill.h"
#include "engine/imaging/image.h"

namespace {

namespace fs = std::filesystem;

// Grain over a gentle shading, with dark discs painted where the strokes go.
Imaging::Image picture(int w, int h, const std::vector<std::array<int, 3>>& discs) {
    Imaging::Bitmap rgba(w, h, 4);
    std::uint32_t state = 7;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* p = rgba.row(y);
        for (int x = 0; x < w; ++x, p += 4) {
            state = state * 1664525u + 1013904223u;
            const int grain = int((state >> 24) % 13) - 6 + int(20 * std::sin(x * 0.004) * std::cos(y * 0.003));
            p[0] = std::uint8_t(120 + grain), p[1] = std::uint8_t(140 + grain), p[2] = std::uint8_t(90 + grain);
            p[3] = 255;
        }
    }
    for (const auto& [cx, cy, r] : discs)
        for (int y = cy - r; y <= cy + r; ++y)
            for (int x = cx - r; x <= cx + r; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r) std::fill_n(rgba.row(y) + x * 4, 3, std::uint8_t(20));
    return Imaging::fromBitmap(rgba);
}

AreaHeal::Stroke stroke(const char* tool, double radius, double x, double y, int w, int h) {
    AreaHeal::Stroke s;
    s.tool = tool;
    s.r = radius / w;
    s.pts = {{x / w, y / h}, {(x + radius) / w, (y + 0.3 * radius) / h}};
    return s;
}

void BM_HealStroke2048(benchmark::State& state) {
    static const Imaging::Image image = picture(2048, 1536, {{1000, 700, 28}});
    const std::vector<AreaHeal::Stroke> strokes{stroke("heal", 40, 1000, 700, 2048, 1536)};
    for (auto _ : state) benchmark::DoNotOptimize(AreaHeal::apply(image, strokes));
}

void BM_HealFiveStrokes24MP(benchmark::State& state) {
    const int w = 6000, h = 4000;
    static const Imaging::Image image =
        picture(w, h, {{1200, 900, 40}, {3000, 1200, 40}, {4800, 2000, 40}, {2000, 3000, 40}, {4000, 3300, 40}});
    std::vector<AreaHeal::Stroke> strokes;
    for (const auto& [x, y] : {std::pair{1200, 900}, {3000, 1200}, {4800, 2000}, {2000, 3000}, {4000, 3300}})
        strokes.push_back(stroke("heal", 60, x, y, w, h));
    for (auto _ : state) benchmark::DoNotOptimize(AreaHeal::apply(image, strokes));
}

// The test models, built once; empty when python3-onnx is missing.
std::string testModel() {
    static const std::string path = [] {
        const fs::path folder = fs::temp_directory_path() / ("merrow-bench-models-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        const fs::path script = fs::path(MERROW_SOURCE_DIR) / "scripts" / "remove-test-models.py";
        const std::string command = "/usr/bin/python3 '" + script.string() + "' '" + folder.string() + "'";
        return std::system(command.c_str()) == 0 ? (folder / "unit.onnx").string() : std::string();
    }();
    return path;
}

const Imaging::Image& removeScene() {
    static const Imaging::Image image = picture(2048, 1536, {{1000, 700, 28}});
    return image;
}

void BM_RemoveStroke(benchmark::State& state) {
    const std::string model = testModel();
    if (model.empty()) return state.SkipWithError("python3-onnx is missing");
    ::setenv("MERROW_REMOVE_MODEL", model.c_str(), 1);
    const std::vector<AreaHeal::Stroke> strokes{stroke("remove", 40, 1000, 700, 2048, 1536)};
    for (auto _ : state) benchmark::DoNotOptimize(AreaHeal::apply(removeScene(), strokes));
}

// The model's own run on the same inputs: subtract it from BM_RemoveStroke.
void BM_RemoveModelRun(benchmark::State& state) {
    const std::string model = testModel();
    if (model.empty()) return state.SkipWithError("python3-onnx is missing");
    ::setenv("MERROW_REMOVE_MODEL", model.c_str(), 1);
    const std::shared_ptr<RemoveFill::Model> network = RemoveFill::model();
    const int image[] = {1, 3, 512, 512}, mask[] = {1, 1, 512, 512};
    const cv::Mat input(4, image, CV_32F, cv::Scalar(0.5)), maskInput(4, mask, CV_32F, cv::Scalar(0));
    for (auto _ : state) benchmark::DoNotOptimize(network->forward(input, maskInput));
}

}  // namespace

BENCHMARK(BM_HealStroke2048)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HealFiveStrokes24MP)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_RemoveStroke)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveModelRun)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
