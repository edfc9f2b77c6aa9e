#include "engine/vision/model.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>

#include "engine/vision/blazeface.h"
#include "engine/vision/face_network.h"
#include "engine/vision/faces.h"
#include "engine/vision/model_folders.h"

namespace FaceModel {

namespace fs = std::filesystem;

std::vector<fs::path> searchList() {
    if (const char* named = std::getenv(environmentVariable); named && *named) return {fs::path(named)};
    std::vector<fs::path> files;
    for (const fs::path& folder : Vision::modelFolders()) files.push_back(folder / fileName);
    return files;
}

std::optional<fs::path> locate() {
    for (const fs::path& candidate : searchList()) {
        std::error_code ec;
        if (fs::is_regular_file(candidate, ec)) return candidate;
    }
    return std::nullopt;
}

namespace {

// One loaded network. Its weights never change once loaded, and every thread
// runs passes with its own scratch memory, so passes need no lock.
struct Loaded {
    fs::path path;
    FaceNetwork::Weights weights;
};

// The process's loaded network; the lock guards only the pointer's lookup and store.
std::mutex cacheLock;
std::shared_ptr<Loaded> cached;

std::shared_ptr<Loaded> load(const fs::path& path) {
    {
        std::lock_guard lock(cacheLock);
        if (cached && cached->path == path) return cached;
    }
    auto loaded = std::make_shared<Loaded>();
    loaded->path = path;
    try {
        loaded->weights = FaceNetwork::load(path);
    } catch (const std::exception&) {
        throw Vision::Unavailable("Face detection model could not be loaded.");
    }
    std::lock_guard lock(cacheLock);
    // Another thread may have loaded the same file meanwhile; keep the first.
    if (cached && cached->path == path) return cached;
    cached = loaded;
    return loaded;
}

}  // namespace

Outputs run(const cv::Mat& input) {
    const auto path = locate();
    if (!path) throw Vision::Unavailable("Face detection model is missing.");
    const auto model = load(*path);

    Outputs result;
    result.scores.resize(BlazeFace::anchorCount);
    result.regressors.resize(std::size_t(BlazeFace::anchorCount) * BlazeFace::regressorWidth);
    constexpr int side = BlazeFace::inputSize;
    constexpr std::size_t inputValues = std::size_t(side) * side * 3;
    if (input.type() == CV_8UC3 && input.rows == side && input.cols == side) {
        FaceNetwork::forwardRGB(model->weights, input.ptr(), input.step[0], result.scores, result.regressors);
    } else if (input.type() == CV_32F && input.isContinuous() && input.total() == inputValues) {
        FaceNetwork::forward(model->weights, std::span(input.ptr<float>(), inputValues), result.scores,
                             result.regressors);
    } else {
        throw std::invalid_argument("face detection input must be a 256 x 256 RGB picture or 1 x 256 x 256 x 3 floats");
    }
    return result;
}

}  // namespace FaceModel
