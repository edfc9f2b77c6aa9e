// Cost of one 68-point landmark pass per face, on one core: the network alone,
// and the whole pass (crop, network, pupils) on a 1600-pixel portrait.
// Target: under 10 ms per face.
//
// Also a small viewer for people:
//   bench_landmarks --draw IN.jpg OUT.png [X Y W H ...]
// draws the landmarks of each face box (pixels, top-left origin; without
// boxes, of every face the detector finds) over the photo: jaw white, brows yellow, nose cyan, eyes green, lips red, pupils
// magenta crosses, and the box blue; the output is cropped to the faces.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/bitmap.h"
#include "engine/vision/landmark_network.h"
#include "engine/vision/faces.h"
#include "engine/vision/landmarks68.h"

namespace {

namespace fs = std::filesystem;

Imaging::Bitmap fromBGR(const cv::Mat& bgr) {
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    Imaging::Bitmap bitmap(rgb.cols, rgb.rows, 3);
    for (int y = 0; y < rgb.rows; ++y) std::memcpy(bitmap.row(y), rgb.ptr(y), bitmap.stride());
    return bitmap;
}

// The shared Obama portrait (../shared beside the repository) scaled to 1600
// pixels high, with its face box; a noise picture with a centred box when
// the photo is not there.
struct Portrait {
    Imaging::Bitmap picture;
    FaceLandmarks::Box box;
};

Portrait portrait() {
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    const fs::path photo = exe.parent_path().parent_path().parent_path().parent_path() / "shared" / "fixtures" /
                           "faces" / "facerec_obama.jpg";
    cv::Mat bgr = cv::imread(photo.string(), cv::IMREAD_COLOR);
    if (!bgr.empty()) {
        const double s = 1600.0 / bgr.rows;
        cv::resize(bgr, bgr, cv::Size(), s, s, cv::INTER_AREA);
        return {fromBGR(bgr), {300 * s, 215 * s, 330 * s, 330 * s}};
    }
    cv::Mat noise(1600, 1067, CV_8UC3);
    cv::randu(noise, 0, 255);
    return {fromBGR(noise), {368, 500, 330, 330}};
}

bool haveModel(benchmark::State& state) {
    if (FaceLandmarks::locateModel()) return true;
    state.SkipWithError("landmark model missing (run scripts/fetch-landmarks)");
    return false;
}

void BM_Network(benchmark::State& state) {
    cv::setNumThreads(1);
    const auto folder = FaceLandmarks::locateModel();
    if (!haveModel(state)) return;
    const auto weights = LandmarkNetwork::load(*folder / FaceLandmarks::manifestFileName);
    cv::Mat rgb(LandmarkNetwork::inputSize, LandmarkNetwork::inputSize, CV_8UC3);
    cv::randu(rgb, 0, 255);
    const cv::Mat input = LandmarkNetwork::inputFromRGB(rgb);
    for (auto _ : state) benchmark::DoNotOptimize(LandmarkNetwork::forward(weights, input));
}
BENCHMARK(BM_Network)->Unit(benchmark::kMillisecond);

void BM_LandmarkPass(benchmark::State& state) {
    cv::setNumThreads(1);
    if (!haveModel(state)) return;
    const Portrait p = portrait();
    FaceLandmarks::locate(p.picture, p.box);  // loads the model
    for (auto _ : state) benchmark::DoNotOptimize(FaceLandmarks::locate(p.picture, p.box));
}
BENCHMARK(BM_LandmarkPass)->Unit(benchmark::kMillisecond);

// Draws on a view of the photo shifted by `origin` and magnified by `zoom`.
struct Canvas {
    cv::Mat image;
    cv::Point2d origin;
    double zoom = 1;
    int thickness = 1;

    cv::Point at(const Vision::Point& p) const {
        return {int(std::lround((p.x - origin.x) * zoom)), int(std::lround((p.y - origin.y) * zoom))};
    }
    void line(const FaceLandmarks::Face& face, int from, int count, bool closed, cv::Scalar colour) {
        std::vector<cv::Point> points;
        for (int i = from; i < from + count; ++i) points.push_back(at(face.points[i]));
        cv::polylines(image, std::vector{points}, closed, colour, thickness, cv::LINE_AA);
        for (const auto& p : points) cv::circle(image, p, thickness + 1, colour, cv::FILLED, cv::LINE_AA);
    }
};

int draw(int argc, char** argv) {
    if (argc < 4 || (argc - 4) % 4 != 0) {
        std::fprintf(stderr, "usage: %s --draw IN.jpg OUT.png [X Y W H ...]\n", argv[0]);
        return 2;
    }
    const cv::Mat bgr = cv::imread(argv[2], cv::IMREAD_COLOR);
    if (bgr.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[2]);
        return 1;
    }
    const Imaging::Bitmap picture = fromBGR(bgr);
    std::vector<std::pair<cv::Rect2d, FaceLandmarks::Face>> found;
    cv::Rect2d faces;
    std::vector<FaceLandmarks::Box> boxes;
    for (int a = 4; a + 3 < argc; a += 4)
        boxes.push_back({std::atof(argv[a]), std::atof(argv[a + 1]), std::atof(argv[a + 2]), std::atof(argv[a + 3])});
    if (boxes.empty()) {
        for (const auto& f : Vision::findFaces(picture)) {
            const Vision::Rect& b = f.boundingBox;
            boxes.push_back({b.x * picture.width, (1 - b.y - b.height) * picture.height, b.width * picture.width,
                             b.height * picture.height});
            std::printf("detected face, confidence %.2f\n", f.confidence);
        }
    }
    if (boxes.empty()) {
        std::fprintf(stderr, "no face found in %s\n", argv[2]);
        return 1;
    }
    for (const FaceLandmarks::Box& box : boxes) {
        const auto start = std::chrono::steady_clock::now();
        const auto face = FaceLandmarks::locate(picture, box);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("face %.0f,%.0f %.0fx%.0f: %.1f ms\n", box.x, box.y, box.width, box.height, ms);
        const cv::Rect2d rect(box.x, box.y, box.width, box.height);
        faces = found.empty() ? rect : (faces | rect);
        found.emplace_back(rect, face);
    }

    // The faces with a margin, magnified to at least 600 pixels.
    const double margin = 0.3 * std::max(faces.width, faces.height);
    const cv::Rect shown = cv::Rect(cv::Rect2d(faces.x - margin, faces.y - margin, faces.width + 2 * margin,
                                               faces.height + 2 * margin)) &
                           cv::Rect(0, 0, bgr.cols, bgr.rows);
    Canvas canvas;
    canvas.origin = {double(shown.x), double(shown.y)};
    canvas.zoom = std::max(1.0, 600.0 / std::max(shown.width, shown.height));
    cv::resize(bgr(shown), canvas.image, cv::Size(), canvas.zoom, canvas.zoom, cv::INTER_CUBIC);
    canvas.thickness = std::max(1, std::min(canvas.image.cols, canvas.image.rows) / 400);
    for (const auto& [rect, face] : found) {
        cv::rectangle(canvas.image, canvas.at({rect.x, rect.y}), canvas.at({rect.br().x, rect.br().y}), {255, 0, 0},
                      canvas.thickness);
        canvas.line(face, 0, 17, false, {255, 255, 255});
        canvas.line(face, 17, 5, false, {0, 255, 255});
        canvas.line(face, 22, 5, false, {0, 255, 255});
        canvas.line(face, 27, 4, false, {255, 255, 0});
        canvas.line(face, 31, 5, false, {255, 255, 0});
        canvas.line(face, 36, 6, true, {0, 255, 0});
        canvas.line(face, 42, 6, true, {0, 255, 0});
        canvas.line(face, 48, 12, true, {0, 0, 255});
        canvas.line(face, 60, 8, true, {0, 0, 255});
        for (const auto& p : {face.rightPupil, face.leftPupil})
            cv::drawMarker(canvas.image, canvas.at(p), {255, 0, 255}, cv::MARKER_CROSS, 8 * canvas.thickness,
                           canvas.thickness);
    }
    if (!cv::imwrite(argv[3], canvas.image)) {
        std::fprintf(stderr, "cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--draw") == 0) {
        try {
            return draw(argc, argv);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
