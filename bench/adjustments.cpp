// Costs of the develop adjustments.
//
//   DEVELOP_BENCH_RAW=photo.dng build/bench/bench_adjustments
//
// heavyLookRerender: an interactive re-render (decode from the cache) of a
// RAW file at 2048 pixels with every adjustment active at once, while a
// later slider moves (contrastMoving) or an early one (exposureMoving).
// stage/<name>: one adjustment stage alone on a 2048 × 1365 picture
// (sRGB-encoded, as the stages see it), detail stages at the detail scale
// of a 2048-pixel render of a 6000-pixel photo.
//
// Times are wall time; the CPU column is the process's CPU time over all
// threads (the stages run on a parallel loop), so CPU / wall shows how
// much of the machine the run got.

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>

#include <benchmark/benchmark.h>

#include "engine/develop/colormix.h"
#include "engine/develop/curves.h"
#include "engine/develop/detail.h"
#include "engine/develop/grain.h"
#include "engine/develop/monochrome.h"
#include "engine/develop/presence.h"
#include "engine/develop/render.h"
#include "engine/develop/tonesliders.h"

namespace {

constexpr const char* heavyLook = R"({
  "exposure": 0.2, "contrast": 30, "highlights": -40, "shadows": 35, "whites": 10, "blacks": -10,
  "curveShadows": 10, "curveDarks": -5, "curveLights": 8, "curveHighlights": -6,
  "curve": {"master": [[0, 0], [0.3, 0.25], [0.7, 0.78], [1, 1]], "blue": [[0, 0.02], [1, 0.97]]},
  "colorMix": {"red": {"hue": 10, "saturation": -20, "luminance": 10}, "blue": {"saturation": 30, "luminance": -20},
               "green": {"hue": -15}},
  "saturation": 15, "vibrance": 25, "dehaze": 20, "texture": 30, "clarity": 25,
  "noiseLuminance": 40, "noiseColor": 50, "sharpenAmount": 60, "sharpenRadius": 1.2, "sharpenDetail": 30,
  "sharpenMasking": 20, "grainAmount": 25, "grainSize": 30, "grainRoughness": 50
})";

constexpr double detailScale = 2048.0 / 6000.0;

Develop::Look lookOf(const char* json) { return *Develop::decodeLook(nlohmann::json::parse(json)); }

// `moving` is the slider that moves between renders, as while editing:
// contrast (a later stage: the render starts from the picture kept after
// noise reduction) or exposure (everything is developed again).
void heavyLookRerender(benchmark::State& state, std::optional<double> Develop::Look::*moving, double from) {
    const char* raw = std::getenv("DEVELOP_BENCH_RAW");
    if (!raw) return state.SkipWithError("set DEVELOP_BENCH_RAW to a RAW file");
    const auto out = std::filesystem::temp_directory_path() / "bench-adjustments.jpg";
    Develop::Look look = lookOf(heavyLook);
    Develop::renderToJPEG(Develop::RenderRequest{.source = raw,
                                                 .look = look,
                                                 .dest = out,
                                                 .longEdge = 2048,
                                                 .quality = 0.85,
                                                 .interactive = true});  // fills the caches
    int i = 0;
    for (auto _ : state) {
        look.*moving = from + 0.01 * (++i % 2);
        benchmark::DoNotOptimize(Develop::renderToJPEG(Develop::RenderRequest{
            .source = raw, .look = look, .dest = out, .longEdge = 2048, .quality = 0.85, .interactive = true}));
    }
}

// A 2048 × 1365 picture with tone ramps, colour and fine noise.
const Imaging::Image& picture() {
    static const Imaging::Image image = [] {
        Imaging::Image im(Imaging::Rect{0, 0, 2048, 1365});
        std::mt19937 random(7);
        std::normal_distribution<float> noise(0, 0.02f);
        for (int row = 0; row < im.height(); ++row)
            for (int col = 0; col < im.width(); ++col) {
                const float v = 0.1f + 0.8f * float(col) / float(im.width());
                const float h = 6.2832f * float(row) / float(im.height());
                auto c = [&](float phase) { return std::clamp(v * (1 + 0.3f * std::cos(h + phase)) + noise(random), 0.0f, 1.0f); };
                im.at(col, row) = {c(0), c(2.094f), c(4.189f), 1};
            }
        return im;
    }();
    return image;
}

using Stage = std::function<std::optional<Imaging::Image>(const Develop::Look&, const Imaging::Image&)>;

void runStage(benchmark::State& state, Stage stage, Develop::Look look) {
    const Imaging::Image& image = picture();
    benchmark::DoNotOptimize(stage(look, image));  // once untimed, as an editing session's first render
    for (auto _ : state) benchmark::DoNotOptimize(stage(look, image));
}

void registerStages() {
    const Develop::Look heavy = lookOf(heavyLook);
    Develop::Look mono = heavy;
    mono.grayscale = 1;
    const std::pair<const char*, Stage> stages[] = {
        {"noiseReduction", [](const Develop::Look& l, const Imaging::Image& i) { return Detail::reduceNoise(l, i, detailScale); }},
        {"toneSliders", ToneSliders::filter},
        {"presence", Presence::filter},
        {"parametricCurve", ParametricCurve::filter},
        {"pointCurves", [](const Develop::Look& l, const Imaging::Image& i) { return Curves::filter(l, i); }},
        {"colourMix", ColorMix::filter},
        {"saturationVibrance", ChromaSliders::filter},
        {"blackAndWhite", Monochrome::filter},
        {"sharpening", [](const Develop::Look& l, const Imaging::Image& i) { return Detail::sharpen(l, i, detailScale); }},
        {"grain", Grain::filter},
    };
    for (const auto& [name, stage] : stages)
        benchmark::RegisterBenchmark((std::string("stage/") + name).c_str(), runStage, stage,
                                     std::string(name) == "blackAndWhite" ? mono : heavy)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MeasureProcessCPUTime()
            ->MinTime(1.0);
}

}  // namespace

BENCHMARK_CAPTURE(heavyLookRerender, contrastMoving, &Develop::Look::contrast, 30)
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(8);
BENCHMARK_CAPTURE(heavyLookRerender, exposureMoving, &Develop::Look::exposure, 0.2)
    ->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime()->Iterations(8);

int main(int argc, char** argv) {
    // The machine may be shared: the load average goes into the context.
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3) benchmark::AddCustomContext("load average at start", std::to_string(load[0]));
    registerStages();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
