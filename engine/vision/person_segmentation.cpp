#include "engine/vision/person_segmentation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include <opencv2/imgproc.hpp>

#include "engine/vision/faces.h"
#include "engine/vision/model_folders.h"
#include "engine/vision/tfjs_graph.h"

namespace PersonSegmentation {

namespace fs = std::filesystem;

std::optional<fs::path> locate() {
    if (const char* named = std::getenv(environmentVariable); named && *named) {
        std::error_code ec;
        if (fs::is_regular_file(named, ec)) return fs::path(named);
        return std::nullopt;
    }
    for (const fs::path& folder : Vision::modelFolders()) {
        std::error_code ec;
        if (fs::is_regular_file(folder / fileName, ec)) return folder / fileName;
    }
    return std::nullopt;
}

namespace {

// The loaded network, one per process. The lock guards only the pointer's
// lookup and store; loading runs outside it.
struct Loaded {
    fs::path file;
    std::shared_ptr<const TfjsGraph::Graph> graph;
};

std::mutex cacheLock;
std::shared_ptr<const Loaded> cached;

std::shared_ptr<const Loaded> network() {
    const auto file = locate();
    if (!file) throw Vision::Unavailable(missingMessage);
    {
        std::lock_guard lock(cacheLock);
        if (cached && cached->file == *file) return cached;
    }
    auto loaded = std::make_shared<Loaded>();
    loaded->file = *file;
    try {
        loaded->graph = TfjsGraph::load(*file);
    } catch (const std::exception&) {
        throw Vision::Unavailable(missingMessage);
    }
    const TfjsGraph::Shape in = TfjsGraph::inputShape(*loaded->graph), out = TfjsGraph::outputShape(*loaded->graph);
    if (in != TfjsGraph::Shape{side, side, 3} || out != TfjsGraph::Shape{side, side, 1})
        throw Vision::Unavailable(missingMessage);
    std::lock_guard lock(cacheLock);
    if (cached && cached->file == *file) return cached;
    cached = loaded;
    return loaded;
}

}  // namespace

std::vector<float> probabilities(const std::vector<float>& input) {
    if (input.size() != std::size_t(side) * side * 3) throw std::invalid_argument("person segmentation input size");
    const auto net = network();
    thread_local TfjsGraph::Workspace workspace;
    const float* out = TfjsGraph::run(*net->graph, input.data(), workspace);
    return std::vector<float>(out, out + std::size_t(side) * side);
}

std::vector<float> inputFrom(const Imaging::Bitmap& picture) {
    if (picture.empty() || (picture.channels != 1 && picture.channels != 3 && picture.channels != 4))
        throw std::invalid_argument("person segmentation needs an 8-bit grey, RGB or RGBA picture");
    const int type = picture.channels == 1 ? CV_8UC1 : picture.channels == 3 ? CV_8UC3 : CV_8UC4;
    const cv::Mat view(picture.height, picture.width, type, const_cast<std::uint8_t*>(picture.pixels.data()),
                       picture.stride());
    cv::Mat rgb = view;
    if (picture.channels != 3) cv::cvtColor(view, rgb, picture.channels == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_RGBA2RGB);
    cv::Mat small;
    cv::resize(rgb, small, cv::Size(side, side), 0, 0, cv::INTER_AREA);
    std::vector<float> input(std::size_t(side) * side * 3);
    for (int y = 0; y < side; ++y) {
        const std::uint8_t* row = small.ptr<std::uint8_t>(y);
        for (int i = 0; i < side * 3; ++i) input[std::size_t(y) * side * 3 + i] = float(row[i]) / 255.0f;
    }
    return input;
}

Imaging::Bitmap segment(const Imaging::Bitmap& picture) {
    const std::vector<float> p = probabilities(inputFrom(picture));
    Imaging::Bitmap mask(side, side, 1);
    for (std::size_t i = 0; i < p.size(); ++i)
        mask.pixels[i] = std::uint8_t(std::lround(std::clamp(p[i], 0.0f, 1.0f) * 255.0f));
    return mask;
}

}  // namespace PersonSegmentation
