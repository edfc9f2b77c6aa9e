// Cost of the colour-range skin selection (segmentation and faces included)
// on a fixture portrait scaled to a 2048-pixel and to a 24 MP working image.
// Targets: 150 ms wall at 2048 px, 1.5 s at 24 MP adding at most 600 MB to
// the peak memory (the "peakMB" counter: the process's peak resident size
// after the runs, which includes the picture itself).
//
//   bench_color_range_skin [PORTRAIT.jpg]
//
// Also a viewer for people (scripts/portrait-report):
//   bench_color_range_skin --draw IN.jpg OUT.png
// writes four panels side by side: the selection in red over the photo with
// each face shape (yellow), its bounds (cyan) and spot bounds (magenta); the
// protection of eyes, brows and lips; the nostril mask; the spot mask.

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/image.h"
#include "engine/portrait/color_range_skin.h"

namespace {

std::string portrait = "../shared/fixtures/portraits/webmorph_london030_eastasian_woman_smile.jpg";

Imaging::Image working(int width, int height) {
    const cv::Mat bgr = cv::imread(portrait);
    if (bgr.empty()) return {};
    cv::Mat rgb, scaled;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    cv::resize(rgb, scaled, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
    cv::Mat rgba;
    cv::cvtColor(scaled, rgba, cv::COLOR_RGB2RGBA);
    rgba.convertTo(rgba, CV_32FC4, 1.0 / 255.0);
    return Imaging::Image(rgba);
}

double peakMB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

void Make(benchmark::State& state) {
    const Imaging::Image image = working(int(state.range(0)), int(state.range(1)));
    if (image.empty()) {
        state.SkipWithError("no portrait (run from the repository root, or name one)");
        return;
    }
    const double before = peakMB();
    for (auto _ : state) benchmark::DoNotOptimize(ColorRangeSkin::make(image));
    state.counters["peakMB"] = peakMB();
    state.counters["peakBeforeMB"] = before;
}
// The selection alone: segmentation and faces computed once beforehand.
void Selection(benchmark::State& state) {
    const Imaging::Image image = working(int(state.range(0)), int(state.range(1)));
    if (image.empty()) {
        state.SkipWithError("no portrait (run from the repository root, or name one)");
        return;
    }
    ColorRangeSkin::Analysis analysis;
    ColorRangeSkin::make(image, [&](const Imaging::Bitmap& copy) { return analysis = ColorRangeSkin::analyse(copy); });
    const ColorRangeSkin::Analyser known = [&](const Imaging::Bitmap&) { return analysis; };
    for (auto _ : state) benchmark::DoNotOptimize(ColorRangeSkin::make(image, known));
}
BENCHMARK(Selection)->Args({2048, 2048})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Selection)->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

BENCHMARK(Make)->Args({2048, 2048})->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(Make)->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace

int draw(const char* in, const char* out) {
    const cv::Mat bgr = cv::imread(in);
    if (bgr.empty()) {
        std::fprintf(stderr, "cannot read %s\n", in);
        return 1;
    }
    cv::Mat rgba;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    rgba.convertTo(rgba, CV_32FC4, 1.0 / 255.0);
    const Imaging::Image image(rgba);
    const int W = image.width(), H = image.height();
    ColorRangeSkin::Result r;
    try {
        r = ColorRangeSkin::make(image);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    const double scale = 600.0 / std::max(W, H);
    const auto small = [&](const cv::Mat& m) {
        cv::Mat o;
        cv::resize(m, o, cv::Size(), scale, scale, cv::INTER_AREA);
        return o;
    };
    const auto greyPanel = [&](const cv::Mat& plane) {
        cv::Mat bytes, colour;
        plane.convertTo(bytes, CV_8U, 255);
        cv::cvtColor(small(bytes), colour, cv::COLOR_GRAY2BGR);
        return colour;
    };
    cv::Mat overlay = bgr.clone();
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float w = std::clamp(r.mask.at<float>(y, x), 0.0f, 1.0f) * 0.6f;
            cv::Vec3b& p = overlay.at<cv::Vec3b>(y, x);
            p = cv::Vec3b(cv::saturate_cast<uchar>(p[0] * (1 - w)), cv::saturate_cast<uchar>(p[1] * (1 - w)),
                          cv::saturate_cast<uchar>(p[2] * (1 - w) + 255 * w));
        }
    overlay = small(overlay);
    const auto toPanel = [&](double x, double y) { return cv::Point(int(x * scale), int((H - y) * scale)); };
    const int thick = 2;
    for (std::size_t i = 0; i < r.faces.size(); ++i) {
        std::vector<cv::Point> poly;
        for (const auto& p : ColorRangeSkin::faceShape(r.faces[i], W, H)) poly.push_back(toPanel(p.x, p.y));
        cv::polylines(overlay, poly, true, cv::Scalar(0, 230, 230), thick);
        const auto box = [&](const Imaging::Rect& b, cv::Scalar c) {
            cv::rectangle(overlay, toPanel(b.x, b.maxY()), toPanel(b.maxX(), b.y), c, 1);
        };
        box(r.regions[i].bounds, cv::Scalar(230, 230, 0));
        box(r.regions[i].spotBounds, cv::Scalar(230, 0, 230));
    }
    const auto protection = ColorRangeSkin::protection(r.faces, W, H);
    const auto noses = ColorRangeSkin::noses(r.faces, W, H);
    const cv::Mat blank = cv::Mat::ones(H, W, CV_32F);
    std::vector<cv::Mat> panels{overlay, greyPanel(protection ? *protection : blank), greyPanel(noses ? *noses : blank),
                                greyPanel(r.spotMask)};
    cv::Mat sheet;
    cv::hconcat(panels, sheet);
    return cv::imwrite(out, sheet) ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--draw") return draw(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    if (argc > 1) portrait = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
