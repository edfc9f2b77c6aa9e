#include "engine/vision/model.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include "engine/vision/blazeface.h"
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

// One loaded network. cv::dnn::Net::forward is not safe to call concurrently
// on one Net, so every pass holds `forwardLock`; the network is small and
// OpenCV already spreads each pass over the cores.
struct Loaded {
    fs::path path;
    cv::dnn::Net net;
    std::mutex forwardLock;
};

// The process's loaded network; the lock guards only the pointer's lookup and store.
std::mutex cacheLock;
std::shared_ptr<Loaded> cached;

std::shared_ptr<Loaded> load(const fs::path& path) {
    {
        std::lock_guard lock(cacheLock);
        if (cached && cached->path == path) return cached;
    }
    // The engine writes nothing to standard error; OpenCV would report a bad
    // model file there before throwing.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    auto loaded = std::make_shared<Loaded>();
    loaded->path = path;
    try {
        loaded->net = cv::dnn::readNetFromONNX(path.string());
    } catch (const cv::Exception&) {
        throw Vision::Unavailable("Face detection model could not be loaded.");
    }
    if (loaded->net.empty()) throw Vision::Unavailable("Face detection model could not be loaded.");
    loaded->net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    loaded->net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    std::lock_guard lock(cacheLock);
    // Another thread may have loaded the same file meanwhile; keep the first.
    if (cached && cached->path == path) return cached;
    cached = loaded;
    return loaded;
}

const float* begin(const cv::Mat& m) { return m.ptr<float>(); }

}  // namespace

Outputs run(const cv::Mat& input) {
    const auto path = locate();
    if (!path) throw Vision::Unavailable("Face detection model is missing.");
    const auto model = load(*path);

    // The outputs may share memory with the network's own buffers, so they are
    // copied out before the next pass may start.
    std::lock_guard lock(model->forwardLock);
    std::vector<cv::Mat> outs;
    try {
        model->net.setInput(input);
        model->net.forward(outs, model->net.getUnconnectedOutLayersNames());
    } catch (const cv::Exception&) {
        throw Vision::Unavailable("Face detection model could not be run.");
    }

    // Tell the four outputs apart by their shapes: scores have one value per
    // anchor, regressors 16; the fine grid has 512 anchors, the coarse one 384.
    const int fine = BlazeFace::grids[0].size * BlazeFace::grids[0].size * BlazeFace::grids[0].anchorsPerCell;
    const int coarse = BlazeFace::grids[1].size * BlazeFace::grids[1].size * BlazeFace::grids[1].anchorsPerCell;
    const cv::Mat* scoresFine = nullptr;
    const cv::Mat* scoresCoarse = nullptr;
    const cv::Mat* regressorsFine = nullptr;
    const cv::Mat* regressorsCoarse = nullptr;
    for (const cv::Mat& out : outs) {
        if (out.type() != CV_32F || !out.isContinuous()) continue;
        const std::size_t total = out.total();
        if (total == std::size_t(fine)) scoresFine = &out;
        else if (total == std::size_t(coarse)) scoresCoarse = &out;
        else if (total == std::size_t(fine) * BlazeFace::regressorWidth) regressorsFine = &out;
        else if (total == std::size_t(coarse) * BlazeFace::regressorWidth) regressorsCoarse = &out;
    }
    if (!scoresFine || !scoresCoarse || !regressorsFine || !regressorsCoarse)
        throw Vision::Unavailable("Face detection model gives unexpected outputs.");

    Outputs result;
    result.scores.assign(begin(*scoresFine), begin(*scoresFine) + fine);
    result.scores.insert(result.scores.end(), begin(*scoresCoarse), begin(*scoresCoarse) + coarse);
    result.regressors.assign(begin(*regressorsFine), begin(*regressorsFine) + fine * BlazeFace::regressorWidth);
    result.regressors.insert(result.regressors.end(), begin(*regressorsCoarse),
                             begin(*regressorsCoarse) + coarse * BlazeFace::regressorWidth);
    return result;
}

}  // namespace FaceModel
