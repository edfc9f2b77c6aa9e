// Skin smoothing on generated portraits: preparing one face region of a
// 2048-pixel picture (face 600 pixels wide), the per-amount blend at 2048
// pixels, a 24 MP photo with a large face through `prepare` (tiled), and
// the four face touches on one 600-pixel face at 2048 pixels.
// Wall-clock times (the shared parallel loop uses every core). The 24 MP
// run also reports the process's peak resident size before and after
// (peakBeforeMB holds the picture and the mask; the difference is what
// `prepare` adds).

#include <sys/resource.h>

#include <cmath>

#include <benchmark/benchmark.h>
#include <opencv2/imgproc.hpp>

#include "engine/portrait/face_touches.h"
#include "engine/portrait/multiscale_skin.h"

namespace {

Imaging::Image picture(int w, int h) {
    cv::Mat pixels(h, w, CV_32FC4);
    cv::theRNG().state = 3;
    cv::randu(pixels, cv::Scalar(0.55, 0.4, 0.35, 1), cv::Scalar(0.65, 0.5, 0.45, 1));
    return Imaging::Image(pixels);
}

// A feathered ellipse of `faceWidth` across, centred.
cv::Mat faceMask(int w, int h, int faceWidth) {
    cv::Mat mask(h, w, CV_32F, cv::Scalar(0));
    cv::ellipse(mask, cv::Point(w / 2, h / 2), cv::Size(faceWidth / 2, faceWidth * 2 / 3), 0, 0, 360, cv::Scalar(1), -1);
    cv::GaussianBlur(mask, mask, cv::Size(0, 0), faceWidth * 0.02);
    return mask;
}

void PrepareRegionOneFace2048(benchmark::State& state) {
    const Imaging::Image photo = picture(2048, 1536);
    const MultiscaleSkin::Region face{faceMask(2048, 1536, 600), 600,
                                      Imaging::Rect{1024 - 300, 768 - 400, 600, 800}, 0.3, std::nullopt};
    for (auto _ : state) benchmark::DoNotOptimize(MultiscaleSkin::prepareRegions(photo, {face}).correction.mat().data);
}
BENCHMARK(PrepareRegionOneFace2048)->Unit(benchmark::kMillisecond)->UseRealTime();

void PreparedImage2048(benchmark::State& state) {
    const Imaging::Image photo = picture(2048, 1536);
    const MultiscaleSkin::Prepared prepared = MultiscaleSkin::prepare(photo, faceMask(2048, 1536, 600), 600, 0.3);
    for (auto _ : state) benchmark::DoNotOptimize(prepared.image(0.6).mat().data);
}
BENCHMARK(PreparedImage2048)->Unit(benchmark::kMillisecond)->UseRealTime();

double peakMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

void Prepare24MPTiled(benchmark::State& state) {
    const Imaging::Image photo = picture(6000, 4000);
    const cv::Mat mask = faceMask(6000, 4000, 1800);
    const double before = peakMB();
    for (auto _ : state) benchmark::DoNotOptimize(MultiscaleSkin::prepare(photo, mask, 1800, 0.3).correction.mat().data);
    state.counters["peakBeforeMB"] = before;
    state.counters["peakMB"] = peakMB();
}
BENCHMARK(Prepare24MPTiled)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Points of an ellipse as fractions of the whole picture (the face box).
std::vector<Vision::Point> ring(double cx, double cy, double rx, double ry, int w, int h) {
    std::vector<Vision::Point> out;
    for (int k = 0; k < 12; ++k) {
        const double a = k * CV_PI / 6;
        out.push_back({(cx + rx * std::cos(a)) / w, (cy + ry * std::sin(a)) / h});
    }
    return out;
}

void FourTouches2048(benchmark::State& state) {
    const int w = 2048, h = 1536;
    const Imaging::Image photo = picture(w, h);
    FaceTouches::Selection selection;
    selection.mask = faceMask(w, h, 600);
    selection.skinLuma = 0.45;
    selection.regions = {{selection.mask, 600}};
    Vision::FaceObservation face;
    face.boundingBox = {0, 0, 1, 1};
    Vision::Landmarks l;
    l.leftEye = ring(1024 - 130, 900, 55, 20, w, h);
    l.rightEye = ring(1024 + 130, 900, 55, 20, w, h);
    l.innerLips = ring(1024, 550, 90, 25, w, h);
    l.outerLips = ring(1024, 550, 100, 40, w, h);
    face.landmarks = l;
    selection.faces = {face};
    const std::vector<FaceTouches::Amounts> amounts = {{0.6, 0.6, 0.6, 0.6}};
    for (auto _ : state)
        benchmark::DoNotOptimize(
            FaceTouches::features(FaceTouches::skin(photo, selection, amounts), selection, amounts).mat().data);
}
BENCHMARK(FourTouches2048)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
