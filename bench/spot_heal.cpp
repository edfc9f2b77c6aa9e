// Spot removal speed: detection, healing and the whole apply on a 2048-pixel
// portrait-sized picture with one 600-pixel face and 40 blemishes, and the
// whole apply on a 24-megapixel picture (face and blemishes scaled with it);
// and the same three on a real portrait (a fixture scaled to 2048 pixels,
// its spot mask and face regions from the colour-range selection, the spots
// its own skin shows).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/healing/spot_heal.h"
#include "engine/imaging/image.h"
#include "engine/portrait/color_range_skin.h"

namespace {

struct Scene {
    Imaging::Image image, mask;
    SpotHeal::Face face;
};

// Skin with grain and a gentle shading, 40 dark and bright blemishes inside a square face box.
Scene scene(int w, int h, int faceSize) {
    Imaging::Bitmap rgba(w, h, 4);
    std::uint32_t state = 7;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* p = rgba.row(y);
        for (int x = 0; x < w; ++x, p += 4) {
            state = state * 1664525u + 1013904223u;
            const int grain = int((state >> 24) % 5) - 2 + int(8 * std::sin(x * 0.003) * std::cos(y * 0.002));
            p[0] = std::uint8_t(200 + grain), p[1] = std::uint8_t(160 + grain), p[2] = std::uint8_t(140 + grain);
            p[3] = 255;
        }
    }
    const int left = (w - faceSize) / 2, top = (h - faceSize) / 2;
    const double unit = faceSize / 600.0;
    for (int i = 0; i < 40; ++i) {
        const int bx = left + int(faceSize * (0.1 + 0.8 * ((i % 8) + 0.5) / 8));
        const int by = top + int(faceSize * (0.1 + 0.8 * ((i / 8) + 0.5) / 5));
        const int radius = std::max(3, int((3 + i % 6) * unit));
        const double contrast = i % 5 == 4 ? -30 : 20 + (i * 7) % 21;
        for (int y = by - radius; y <= by + radius; ++y)
            for (int x = bx - radius; x <= bx + radius; ++x) {
                const double z = std::clamp((radius - std::hypot(x - bx, y - by)) / (0.4 * radius), 0.0, 1.0);
                const double k = contrast * z * z * (3 - 2 * z);
                std::uint8_t* p = rgba.row(y) + std::size_t(x) * 4;
                const double shift[3] = {contrast > 0 ? 0.6 : 1, contrast > 0 ? 1.2 : 1, contrast > 0 ? 1.1 : 1};
                for (int c = 0; c < 3; ++c) p[c] = std::uint8_t(std::clamp(std::lround(p[c] - k * shift[c]), 0L, 255L));
            }
    }
    Scene s;
    s.image = Imaging::fromBitmap(rgba);
    s.mask = Imaging::generate(Imaging::Rect{0, 0, w, h}, [&](int x, int y) {
        const int row = h - 1 - y;
        const float v = x >= left && x < left + faceSize && row >= top && row < top + faceSize ? 1.0f : 0.0f;
        return Imaging::Pixel{v, v, v, 1};
    });
    s.face = {double(faceSize), {double(left), double(h - top - faceSize), double(faceSize), double(faceSize)}};
    return s;
}

const Scene& portrait2048() {
    static const Scene s = scene(2048, 1536, 600);
    return s;
}

void BM_SpotDetect2048(benchmark::State& state) {
    const Scene& s = portrait2048();
    std::size_t spots = 0;
    for (auto _ : state) spots = SpotHeal::detect(s.image, s.mask, {s.face}, 1, {}, {}, std::nullopt).spots.size();
    state.counters["spots"] = double(spots);
}

void BM_SpotHeal2048(benchmark::State& state) {
    const Scene& s = portrait2048();
    const SpotHeal::Detection d = SpotHeal::detect(s.image, s.mask, {s.face}, 1, {}, {}, std::nullopt);
    for (auto _ : state) {
        std::vector<SpotHeal::Spot> spots = d.spots;
        benchmark::DoNotOptimize(SpotHeal::heal(d.rgba, d.skin, d.donors, spots));
    }
}

void BM_SpotApply2048(benchmark::State& state) {
    const Scene& s = portrait2048();
    for (auto _ : state) benchmark::DoNotOptimize(SpotHeal::apply(s.image, s.mask, {s.face}, 1, {}, {}, std::nullopt));
}

void BM_SpotApply24MP(benchmark::State& state) {
    static const Scene s = scene(6000, 4000, 1760);
    std::size_t spots = 0;
    for (auto _ : state) spots = SpotHeal::apply(s.image, s.mask, {s.face}, 1, {}, {}, std::nullopt).spots.size();
    state.counters["spots"] = double(spots);
}

// A fixture portrait scaled to 2048 pixels on its long edge, with its spot
// mask and face regions; empty when the fixtures are absent.
const Scene& realPortrait() {
    static const Scene s = [] {
        Scene out;
        const cv::Mat bgr = cv::imread("../shared/fixtures/portraits/webmorph_london030_eastasian_woman_smile.jpg");
        if (bgr.empty()) return out;
        cv::Mat rgba, scaled;
        cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
        const double scale = 2048.0 / std::max(rgba.cols, rgba.rows);
        cv::resize(rgba, scaled, cv::Size(), scale, scale, cv::INTER_CUBIC);
        scaled.convertTo(scaled, CV_32FC4, 1.0 / 255.0);
        out.image = Imaging::Image(scaled);
        const ColorRangeSkin::Result selection = ColorRangeSkin::make(out.image);
        if (selection.regions.empty()) return Scene{};
        const int h = out.image.height();
        out.mask = Imaging::generate(out.image.extent(), [&](int x, int y) {
            const float v = selection.spotMask.at<float>(h - 1 - y, x);
            return Imaging::Pixel{v, v, v, 1};
        });
        const ColorRangeSkin::Region& r = selection.regions.front();
        out.face = {r.faceWidth, {double(r.spotBounds.x), double(r.spotBounds.y), double(r.spotBounds.width),
                                  double(r.spotBounds.height)}};
        return out;
    }();
    return s;
}

void BM_SpotDetectPortrait(benchmark::State& state) {
    const Scene& s = realPortrait();
    if (s.image.empty()) return state.SkipWithError("no portrait (run from the repository root)");
    std::size_t spots = 0;
    for (auto _ : state) spots = SpotHeal::detect(s.image, s.mask, {s.face}, 1, {}, {}, std::nullopt).spots.size();
    state.counters["spots"] = double(spots);
    state.counters["faceWidth"] = s.face.width;
}

void BM_SpotHealPortrait(benchmark::State& state) {
    const Scene& s = realPortrait();
    if (s.image.empty()) return state.SkipWithError("no portrait (run from the repository root)");
    const SpotHeal::Detection d = SpotHeal::detect(s.image, s.mask, {s.face}, 1, {}, {}, std::nullopt);
    for (auto _ : state) {
        std::vector<SpotHeal::Spot> spots = d.spots;
        benchmark::DoNotOptimize(SpotHeal::heal(d.rgba, d.skin, d.donors, spots));
    }
}

void BM_SpotApplyPortrait(benchmark::State& state) {
    const Scene& s = realPortrait();
    if (s.image.empty()) return state.SkipWithError("no portrait (run from the repository root)");
    for (auto _ : state) benchmark::DoNotOptimize(SpotHeal::apply(s.image, s.mask, {s.face}, 1, {}, {}, std::nullopt));
}

}  // namespace

BENCHMARK(BM_SpotDetectPortrait)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SpotHealPortrait)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SpotApplyPortrait)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SpotDetect2048)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SpotHeal2048)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SpotApply2048)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);
BENCHMARK(BM_SpotApply24MP)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK_MAIN();
