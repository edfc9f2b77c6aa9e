// Cost of the picture evidence of one 400-pixel preview, on one core: the local
// analysis (with and without the face detector) and the feature print.
// Target: analysis plus feature print under 15 ms per preview.
//
// The made-up preview holds one weak false face (score about 0.53), so the
// detector's figures include one pass of the 68-point landmark network when
// its model is present (scripts/fetch-landmarks).

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/bitmap.h"
#include "engine/library/analysis.h"
#include "engine/vision/faces.h"

namespace {

// A photo-like 400 x 267 preview: smooth colour areas with fine noise.
Imaging::Bitmap preview() {
    cv::setNumThreads(1);
    cv::setRNGSeed(7);
    cv::Mat coarse(9, 13, CV_8UC3), picture, grain(267, 400, CV_8UC3);
    cv::randu(coarse, 0, 255);
    cv::resize(coarse, picture, cv::Size(400, 267), 0, 0, cv::INTER_CUBIC);
    cv::randn(grain, 0, 12);
    cv::add(picture, grain, picture);
    Imaging::Bitmap bitmap(picture.cols, picture.rows, 3);
    for (int y = 0; y < picture.rows; ++y) std::memcpy(bitmap.row(y), picture.ptr(y), bitmap.stride());
    return bitmap;
}

void BM_AnalysisAndFeaturePrint(benchmark::State& state) {
    Imaging::Bitmap bitmap = preview();
    for (auto _ : state) {
        benchmark::DoNotOptimize(Extraction::localAnalysis(bitmap));
        benchmark::DoNotOptimize(Extraction::featurePrint(bitmap));
    }
}
BENCHMARK(BM_AnalysisAndFeaturePrint)->Unit(benchmark::kMillisecond);

void BM_LocalAnalysisWithDetector(benchmark::State& state) {
    Imaging::Bitmap bitmap = preview();
    for (auto _ : state) benchmark::DoNotOptimize(Extraction::localAnalysis(bitmap));
}
BENCHMARK(BM_LocalAnalysisWithDetector)->Unit(benchmark::kMillisecond);

// The face detector alone on the preview: one network pass (no tiles for a
// picture this small) plus landmarks for what it finds.
void BM_FaceDetector(benchmark::State& state) {
    Imaging::Bitmap bitmap = preview();
    for (auto _ : state) benchmark::DoNotOptimize(Vision::detectFaces(bitmap));
}
BENCHMARK(BM_FaceDetector)->Unit(benchmark::kMillisecond);

void BM_LocalAnalysisGivenFaces(benchmark::State& state) {
    Imaging::Bitmap bitmap = preview();
    for (auto _ : state) benchmark::DoNotOptimize(Extraction::localAnalysis(bitmap, {}));
}
BENCHMARK(BM_LocalAnalysisGivenFaces)->Unit(benchmark::kMillisecond);

void BM_FeaturePrint(benchmark::State& state) {
    Imaging::Bitmap bitmap = preview();
    for (auto _ : state) benchmark::DoNotOptimize(Extraction::featurePrint(bitmap));
}
BENCHMARK(BM_FeaturePrint)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
