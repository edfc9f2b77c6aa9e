#include "engine/vision/face_check.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <system_error>

#include <opencv2/imgproc.hpp>

#include "engine/vision/landmarks68.h"
#include "engine/vision/ssd_network.h"

namespace FaceCheck {

namespace fs = std::filesystem;

namespace {

// The loaded network, one per process. The lock guards only the pointer's
// lookup and store; loading runs outside it. A folder whose model cannot be
// loaded is remembered too, so that it is not read again for every face.
struct Loaded {
    fs::path folder;
    std::optional<SsdNetwork::Weights> weights;
};

std::mutex cacheLock;
std::shared_ptr<const Loaded> cached;

std::optional<fs::path> locate() {
    for (const fs::path& folder : FaceLandmarks::searchList()) {
        std::error_code ec;
        if (fs::is_regular_file(folder / SsdNetwork::manifestFileName, ec)) return folder;
    }
    return std::nullopt;
}

std::shared_ptr<const Loaded> network() {
    const auto folder = locate();
    if (!folder) return nullptr;
    {
        std::lock_guard lock(cacheLock);
        if (cached && cached->folder == *folder) return cached;
    }
    auto loaded = std::make_shared<Loaded>();
    loaded->folder = *folder;
    try {
        loaded->weights = SsdNetwork::load(*folder / SsdNetwork::manifestFileName);
    } catch (const std::exception&) {
        loaded->weights.reset();
    }
    std::lock_guard lock(cacheLock);
    if (cached && cached->folder == *folder) return cached;
    cached = loaded;
    return loaded;
}

}  // namespace

bool available() {
    const auto loaded = network();
    return loaded && loaded->weights;
}

std::optional<float> score(const cv::Mat& rgb, const Vision::PixelBox& box) {
    const auto loaded = network();
    if (!loaded || !loaded->weights || rgb.empty() || rgb.type() != CV_8UC3) return std::nullopt;
    const double boxSide = std::max(box.width, box.height);
    if (!(boxSide > 0)) return 0.0f;
    const int side = std::max(1, int(std::lround(cropSides * boxSide)));
    const int x0 = int(std::floor(box.x + box.width / 2 - side / 2.0));
    const int y0 = int(std::floor(box.y + box.height / 2 - side / 2.0));
    const cv::Rect inside = cv::Rect(x0, y0, side, side) & cv::Rect(0, 0, rgb.cols, rgb.rows);
    if (inside.area() <= 0) return 0.0f;

    // Scale the part inside the picture straight into its place in the input.
    const double scale = double(inputSide) / side;
    cv::Mat input(inputSide, inputSide, CV_8UC3, cv::Scalar::all(0));
    const int ix = int(std::lround((inside.x - x0) * scale)), iy = int(std::lround((inside.y - y0) * scale));
    const int iw = std::min(inputSide - ix, std::max(1, int(std::lround(inside.width * scale))));
    const int ih = std::min(inputSide - iy, std::max(1, int(std::lround(inside.height * scale))));
    if (iw <= 0 || ih <= 0) return 0.0f;
    cv::resize(rgb(inside), input(cv::Rect(ix, iy, iw, ih)), cv::Size(iw, ih), 0, 0,
               scale < 1 ? cv::INTER_AREA : cv::INTER_LINEAR);

    float best = 0;
    for (const SsdNetwork::Box& d : SsdNetwork::detect(*loaded->weights, input.ptr(), input.step[0], inputSide, 0.05f)) {
        const float width = d.xMax - d.xMin;
        const bool holdsCentre = d.xMin < 0.5f && d.xMax > 0.5f && d.yMin < 0.5f && d.yMax > 0.5f;
        if (holdsCentre && width > 0.5 / cropSides && width < 3 / cropSides) best = std::max(best, d.score);
    }
    return best;
}

float confidence(float checkScore) { return 1.0f / (1.0f + std::exp(-checkSlope * (checkScore - checkCentre))); }

}  // namespace FaceCheck
