// Face finding speed: a faces request on a 24-megapixel JPEG (decode + detect),
// the detector alone on a 1600-pixel analysis bitmap, and a RAW photo; and
// one pass of the detection network on one core, with our kernels and, for
// comparison, with OpenCV's DNN module on the same model file.
//
// Needs the shared sample photos (../shared/fixtures beside the repository, or
// MERROW_FIXTURES) and the face detection model (scripts/fetch-blazeface).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/library/extraction.h"
#include "engine/portrait/faces.h"
#include "engine/vision/face_check.h"
#include "engine/vision/faces.h"
#include "engine/vision/model.h"

namespace {

namespace fs = std::filesystem;

std::optional<fs::path> fixturesDir() {
    if (const char* env = std::getenv("MERROW_FIXTURES"); env && fs::is_directory(env)) return fs::path(env);
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    for (fs::path dir = exe.parent_path(); !ec && !dir.empty() && dir != dir.root_path(); dir = dir.parent_path())
        if (fs::is_directory(dir / "shared" / "fixtures")) return dir / "shared" / "fixtures";
    return std::nullopt;
}

// Sample files made once per run in a temporary folder.
struct Samples {
    fs::path folder;
    fs::path jpeg24;  // 6000 x 4000 group-like picture: the portrait repeated at several sizes
    fs::path dng;     // a RAW photo made from the portrait, or empty
    cv::Mat analysis;  // 1600 x 1067 reduction of the JPEG, BGR
    std::string problem;

    Samples() {
        const auto fixtures = fixturesDir();
        if (!fixtures) {
            problem = "shared sample photos are not available";
            return;
        }
        if (!FaceModel::locate()) {
            problem = "face detection model is not available (scripts/fetch-blazeface)";
            return;
        }
        folder = fs::temp_directory_path() / ("merrow-bench-faces-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        const cv::Mat portrait = cv::imread((*fixtures / "faces" / "facerec_obama.jpg").string());
        cv::Mat big(4000, 6000, CV_8UC3, cv::Scalar(70, 90, 110));
        int x = 0;
        for (int height : {2400, 1200, 600, 300}) {
            cv::Mat scaled;
            cv::resize(portrait, scaled, cv::Size(height * portrait.cols / portrait.rows, height), 0, 0, cv::INTER_AREA);
            scaled.copyTo(big(cv::Rect(x, 4000 - height - 200, scaled.cols, scaled.rows)));
            x += scaled.cols + 100;
        }
        jpeg24 = folder / "group-24mp.jpg";
        cv::imwrite(jpeg24.string(), big, {cv::IMWRITE_JPEG_QUALITY, 90});
        cv::resize(big, analysis, cv::Size(1600, 1067), 0, 0, cv::INTER_AREA);

        const fs::path tool = fixtures->parent_path() / "tools" / "make-dng";
        if (fs::exists(tool)) {
            const fs::path out = folder / "portrait.dng";
            const std::string command = "/usr/bin/python3 '" + tool.string() + "' '" +
                                        (*fixtures / "faces" / "facerec_obama.jpg").string() + "' '" + out.string() +
                                        "' --scale 3 >/dev/null 2>&1";
            if (std::system(command.c_str()) == 0) dng = out;
        }
    }
    ~Samples() {
        std::error_code ec;
        if (!folder.empty()) fs::remove_all(folder, ec);
    }
};

Samples& samples() {
    static Samples s;
    return s;
}

Imaging::Bitmap rgbBitmap(const cv::Mat& bgr) {
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    Imaging::Bitmap out(rgb.cols, rgb.rows, 3);
    for (int y = 0; y < rgb.rows; ++y) std::copy_n(rgb.ptr(y), out.stride(), out.row(y));
    return out;
}

// The faces route as the handler runs it: PortraitFaces::list on a 24 MP JPEG.
void FacesRequestJpeg24MP(benchmark::State& state) {
    auto& s = samples();
    if (!s.problem.empty()) return state.SkipWithError(s.problem.c_str());
    if (!Extraction::open(s.jpeg24)) return state.SkipWithError("the photo library cannot open JPEG files in this build");
    for (auto _ : state) benchmark::DoNotOptimize(PortraitFaces::list(s.jpeg24));
}
BENCHMARK(FacesRequestJpeg24MP)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The same work with libjpeg's own scaled decode (1/4, 1500 x 1000) standing in
// for the photo library: what decode + detect can cost.
void DecodeQuarterAndDetect24MP(benchmark::State& state) {
    auto& s = samples();
    if (!s.problem.empty()) return state.SkipWithError(s.problem.c_str());
    for (auto _ : state) {
        const cv::Mat reduced = cv::imread(s.jpeg24.string(), cv::IMREAD_REDUCED_COLOR_4);
        benchmark::DoNotOptimize(
            PortraitFaces::detect(rgbBitmap(reduced), 6000, 4000, PortraitFaces::minimumBasicFaceWidth));
    }
}
BENCHMARK(DecodeQuarterAndDetect24MP)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The detector alone on a 1600 x 1067 analysis bitmap (whole picture + 12
// tiles), as the faces route runs it (weak candidates checked by the SSD
// face network) and with the quick search (BlazeFace alone, as before the check).
void Detect1600(benchmark::State& state) {
    auto& s = samples();
    if (!s.problem.empty()) return state.SkipWithError(s.problem.c_str());
    const Imaging::Bitmap bitmap = rgbBitmap(s.analysis);
    for (auto _ : state) benchmark::DoNotOptimize(Vision::findFaces(bitmap));
}
BENCHMARK(Detect1600)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void Detect1600Quick(benchmark::State& state) {
    auto& s = samples();
    if (!s.problem.empty()) return state.SkipWithError(s.problem.c_str());
    const Imaging::Bitmap bitmap = rgbBitmap(s.analysis);
    for (auto _ : state) benchmark::DoNotOptimize(Vision::findFaces(bitmap, Vision::Search::quick));
}
BENCHMARK(Detect1600Quick)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The faces route on the Curie portrait (840 x 700, one profile face among
// the detector's weak candidates): thorough and quick.
void CuriePortrait(benchmark::State& state) {
    const auto fixtures = fixturesDir();
    if (!fixtures || !FaceModel::locate()) return state.SkipWithError("sample photos or face model missing");
    const Imaging::Bitmap bitmap = rgbBitmap(cv::imread((*fixtures / "faces" / "immich_portrait.jpg").string()));
    const auto search = state.range(0) ? Vision::Search::thorough : Vision::Search::quick;
    for (auto _ : state) benchmark::DoNotOptimize(Vision::findFaces(bitmap, search));
}
BENCHMARK(CuriePortrait)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// One SSD check of a face box (a 192 x 192 pass of the SSD network), on one core.
void SsdCheck(benchmark::State& state) {
    const auto fixtures = fixturesDir();
    if (!fixtures || !FaceCheck::available()) return state.SkipWithError("sample photos or SSD face model missing");
    cv::Mat rgb;
    cv::cvtColor(cv::imread((*fixtures / "faces" / "immich_portrait.jpg").string()), rgb, cv::COLOR_BGR2RGB);
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    for (auto _ : state) benchmark::DoNotOptimize(FaceCheck::score(rgb, Vision::PixelBox{569, 113, 79, 79}));
    cv::setNumThreads(threads);
}
BENCHMARK(SsdCheck)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// A faces request on a RAW photo (2730 x 3410 DNG): half-size LibRaw decode + detect.
void FacesRequestDng9MP(benchmark::State& state) {
    auto& s = samples();
    if (!s.problem.empty()) return state.SkipWithError(s.problem.c_str());
    if (s.dng.empty()) return state.SkipWithError("make-dng is not available");
    for (auto _ : state) benchmark::DoNotOptimize(PortraitFaces::list(s.dng));
}
BENCHMARK(FacesRequestDng9MP)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// A network input: the portrait letterboxed into 256 x 256, as floats in [-1, 1].
cv::Mat networkInput() {
    cv::Mat square(256, 256, CV_8UC3, cv::Scalar::all(0));
    if (const auto fixtures = fixturesDir()) {
        const cv::Mat portrait = cv::imread((*fixtures / "faces" / "facerec_obama.jpg").string());
        if (!portrait.empty()) {
            const double scale = 256.0 / std::max(portrait.cols, portrait.rows);
            const cv::Size size(int(portrait.cols * scale), int(portrait.rows * scale));
            cv::resize(portrait, square(cv::Rect((256 - size.width) / 2, (256 - size.height) / 2, size.width,
                                                 size.height)),
                       size, 0, 0, cv::INTER_AREA);
        }
    }
    cv::Mat input;
    square.convertTo(input, CV_32FC3, 1 / 127.5, -1);
    const int shape[] = {1, 256, 256, 3};
    return input.reshape(1, 4, shape).clone();
}

// One pass of the detection network with our kernels, on one core.
void NetworkPass(benchmark::State& state) {
    if (!FaceModel::locate()) return state.SkipWithError("face detection model is not available");
    const cv::Mat input = networkInput();
    for (auto _ : state) benchmark::DoNotOptimize(FaceModel::run(input));
}
BENCHMARK(NetworkPass)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The same pass through OpenCV's DNN module, on one core: what the kernels replace.
void NetworkPassOpenCV(benchmark::State& state) {
    const auto model = FaceModel::locate();
    if (!model) return state.SkipWithError("face detection model is not available");
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(model->string());
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    const cv::Mat input = networkInput();
    std::vector<cv::Mat> outs;
    for (auto _ : state) {
        net.setInput(input);
        net.forward(outs, net.getUnconnectedOutLayersNames());
        benchmark::DoNotOptimize(outs.data());
    }
    cv::setNumThreads(threads);
}
BENCHMARK(NetworkPassOpenCV)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
