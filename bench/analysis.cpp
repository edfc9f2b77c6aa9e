// Cost of the picture evidence of one 400-pixel preview, on one core: the local
// analysis (with and without the face detector) and the feature print.
// Target: analysis plus feature print under 15 ms per preview.
//
// The made-up preview holds one weak false face (score about 0.53), so the
// detector's figures include one pass of the 68-point landmark network when
// its model is present (scripts/fetch-landmarks).

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
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

// The face detector alone on the preview, as the analysis runs it (the quick
// search): one network pass (no tiles for a picture this small) plus
// landmarks for what it finds.
void BM_FaceDetector(benchmark::State& state) {
    Imaging::Bitmap bitmap = preview();
    for (auto _ : state) benchmark::DoNotOptimize(Vision::detectFaces(bitmap, Vision::Search::quick));
}
BENCHMARK(BM_FaceDetector)->Unit(benchmark::kMillisecond);

// The thorough search of the faces route on the same preview, for comparison:
// its weak candidates are checked by the SSD face network.
void BM_FaceDetectorThorough(benchmark::State& state) {
    Imaging::Bitmap bitmap = preview();
    for (auto _ : state) benchmark::DoNotOptimize(Vision::detectFaces(bitmap, Vision::Search::thorough));
}
BENCHMARK(BM_FaceDetectorThorough)->Unit(benchmark::kMillisecond);

// The analysis of a 400-pixel preview of a portrait with two faces (the Curie
// portrait of the shared sample photos, when present; its profile face is one
// the quick search leaves out).
void BM_LocalAnalysisWithFaces(benchmark::State& state) {
    const char* fixtures = std::getenv("MERROW_FIXTURES");
    const std::string path = std::string(fixtures ? fixtures : "../../shared/fixtures") + "/faces/immich_portrait.jpg";
    const cv::Mat photo = cv::imread(path);
    if (photo.empty()) return state.SkipWithError("the Curie portrait is not available (set MERROW_FIXTURES)");
    cv::setNumThreads(1);
    cv::Mat small, rgb;
    cv::resize(photo, small, cv::Size(400, photo.rows * 400 / photo.cols), 0, 0, cv::INTER_AREA);
    cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
    Imaging::Bitmap bitmap(rgb.cols, rgb.rows, 3);
    for (int y = 0; y < rgb.rows; ++y) std::memcpy(bitmap.row(y), rgb.ptr(y), bitmap.stride());
    for (auto _ : state) benchmark::DoNotOptimize(Extraction::localAnalysis(bitmap));
}
BENCHMARK(BM_LocalAnalysisWithFaces)->Unit(benchmark::kMillisecond);

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
