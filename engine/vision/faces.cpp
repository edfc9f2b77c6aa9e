#include "engine/vision/faces.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/vision/blazeface.h"
#include "engine/vision/landmarks68.h"
#include "engine/vision/model.h"
#include "engine/vision/tiles.h"

namespace Vision {

namespace {

// The picture as 8-bit RGB; shares the bitmap's pixels when they already are.
cv::Mat rgbView(const Imaging::Bitmap& picture) {
    auto* data = const_cast<std::uint8_t*>(picture.pixels.data());
    switch (picture.channels) {
    case 3:
        return cv::Mat(picture.height, picture.width, CV_8UC3, data, picture.stride());
    case 4: {
        cv::Mat rgb;
        cv::cvtColor(cv::Mat(picture.height, picture.width, CV_8UC4, data, picture.stride()), rgb,
                     cv::COLOR_RGBA2RGB);
        return rgb;
    }
    case 1: {
        cv::Mat rgb;
        cv::cvtColor(cv::Mat(picture.height, picture.width, CV_8UC1, data, picture.stride()), rgb,
                     cv::COLOR_GRAY2RGB);
        return rgb;
    }
    default:
        return {};
    }
}

// Where a tile lands in the square network input: scaled to fit, centred, the
// rest left black.
struct Placement {
    double scale = 1;  // input pixels per picture pixel
    double offsetX = 0;
    double offsetY = 0;
};

Placement place(const FaceTiles::Tile& tile) {
    Placement p;
    p.scale = double(BlazeFace::inputSize) / std::max(tile.width, tile.height);
    p.offsetX = std::floor((BlazeFace::inputSize - tile.width * p.scale) / 2);
    p.offsetY = std::floor((BlazeFace::inputSize - tile.height * p.scale) / 2);
    return p;
}

// The network input for one tile: the tile scaled into a 256 x 256 RGB square.
cv::Mat networkInput(const cv::Mat& rgb, const FaceTiles::Tile& tile, const Placement& p) {
    const int w = std::max(1, int(std::lround(tile.width * p.scale)));
    const int h = std::max(1, int(std::lround(tile.height * p.scale)));
    cv::Mat square(BlazeFace::inputSize, BlazeFace::inputSize, CV_8UC3, cv::Scalar::all(0));
    cv::Mat target = square(cv::Rect(int(p.offsetX), int(p.offsetY), std::min(w, BlazeFace::inputSize - int(p.offsetX)),
                                     std::min(h, BlazeFace::inputSize - int(p.offsetY))));
    cv::resize(rgb(cv::Rect(tile.x, tile.y, tile.width, tile.height)), target, target.size(), 0, 0, cv::INTER_AREA);
    return square;
}

// A detection moved from the tile's network input into fractions of the
// whole picture (top-left origin).
BlazeFace::Detection toPicture(BlazeFace::Detection d, const FaceTiles::Tile& tile, const Placement& p, int width,
                               int height) {
    const auto x = [&](float v) { return float((tile.x + (v * BlazeFace::inputSize - p.offsetX) / p.scale) / width); };
    const auto y = [&](float v) { return float((tile.y + (v * BlazeFace::inputSize - p.offsetY) / p.scale) / height); };
    d.xMin = x(d.xMin);
    d.xMax = x(d.xMax);
    d.yMin = y(d.yMin);
    d.yMax = y(d.yMax);
    for (auto& k : d.keypoints) k = {x(k.x), y(k.y)};
    return d;
}

// Whether a tile's detection is one the tile is trusted with. A face cut by
// the tile's inner edge is left to the tile beside it (or the level above),
// where it lies whole; a face too large for the tile to the level above.
bool ownedByTile(const BlazeFace::Detection& d, const FaceTiles::Tile& tile, int width, int height) {
    if (tile.width == width && tile.height == height) return true;
    const double side = std::max(tile.width, tile.height) * FaceTiles::largestFaceShare;
    if (d.width() * width > side || d.height() * height > side) return false;
    const double left = double(tile.x) / width, right = double(tile.x + tile.width) / width;
    const double top = double(tile.y) / height, bottom = double(tile.y + tile.height) / height;
    if (tile.x > 0 && d.xMin < left) return false;
    if (tile.y > 0 && d.yMin < top) return false;
    if (tile.x + tile.width < width && d.xMax > right) return false;
    if (tile.y + tile.height < height && d.yMax > bottom) return false;
    return true;
}

double intersection(const BlazeFace::Detection& a, const BlazeFace::Detection& b) {
    const double ix = std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin);
    const double iy = std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin);
    return ix > 0 && iy > 0 ? ix * iy : 0;
}

// Drops a detection lying mostly inside a better one (a face part found on a
// fine tile, say), which plain overlap does not catch.
std::vector<BlazeFace::Detection> withoutNested(const std::vector<BlazeFace::Detection>& bestFirst) {
    std::vector<BlazeFace::Detection> kept;
    for (const auto& d : bestFirst) {
        const double area = double(d.width()) * d.height();
        const bool nested = std::any_of(kept.begin(), kept.end(), [&](const BlazeFace::Detection& k) {
            return area > 0 && intersection(d, k) > 0.5 * area;
        });
        if (!nested) kept.push_back(d);
    }
    return kept;
}

// Landmark regions from the 68-point network, run on the detector's whole
// (unclipped) box; the six-keypoint construction when that network is missing
// or cannot use the box.
Landmarks landmarks(const Imaging::Bitmap& picture, const BlazeFace::Detection& d, const Rect& reportedBox) {
    const double width = picture.width, height = picture.height;
    const PixelBox box{d.xMin * width, d.yMin * height, (d.xMax - d.xMin) * width, (d.yMax - d.yMin) * height};
    try {
        return FaceLandmarks::regions(FaceLandmarks::locate(picture, box), picture.width, picture.height,
                                      reportedBox);
    } catch (const FaceLandmarks::Unavailable&) {
    } catch (const std::invalid_argument&) {
    }
    const auto px = [&](const BlazeFace::Point& k) { return Point{double(k.x) * width, double(k.y) * height}; };
    FaceKeypoints keypoints;
    keypoints.rightEye = px(d.keypoints[BlazeFace::rightEye]);
    keypoints.leftEye = px(d.keypoints[BlazeFace::leftEye]);
    keypoints.noseTip = px(d.keypoints[BlazeFace::noseTip]);
    keypoints.mouthCentre = px(d.keypoints[BlazeFace::mouthCentre]);
    keypoints.rightEarTragion = px(d.keypoints[BlazeFace::rightEarTragion]);
    keypoints.leftEarTragion = px(d.keypoints[BlazeFace::leftEarTragion]);
    return landmarksFromKeypoints(keypoints, PixelBox{reportedBox.x * width, (1 - reportedBox.y - reportedBox.height) * height,
                                                      reportedBox.width * width, reportedBox.height * height});
}

FaceObservation observation(const BlazeFace::Detection& d, const Imaging::Bitmap& picture) {
    const double x1 = std::clamp<double>(d.xMin, 0, 1), x2 = std::clamp<double>(d.xMax, 0, 1);
    const double y1 = std::clamp<double>(d.yMin, 0, 1), y2 = std::clamp<double>(d.yMax, 0, 1);
    FaceObservation face;
    face.boundingBox = Rect{x1, 1 - y2, x2 - x1, y2 - y1};
    face.confidence = d.score;
    face.landmarks = landmarks(picture, d, face.boundingBox);
    return face;
}

}  // namespace

std::vector<FaceObservation> findFaces(const Imaging::Bitmap& picture) {
    if (picture.empty() || picture.pixels.size() < picture.stride() * std::size_t(picture.height)) return {};
    const cv::Mat rgb = rgbView(picture);
    if (rgb.empty()) return {};

    // Tiles are searched in parallel (as many threads as OpenCV is allowed)
    // and their detections gathered in tile order, so the result does not
    // depend on the threads.
    const std::vector<FaceTiles::Tile> tiles = FaceTiles::layout(picture.width, picture.height);
    if (tiles.empty()) return {};
    std::vector<std::vector<BlazeFace::Detection>> perTile(tiles.size());
    std::vector<std::exception_ptr> failures(tiles.size());
    const auto search = [&](std::size_t i) {
        const FaceTiles::Tile& tile = tiles[i];
        const Placement p = place(tile);
        const FaceModel::Outputs outputs = FaceModel::run(networkInput(rgb, tile, p));
        for (const auto& d : BlazeFace::decode(outputs.scores, outputs.regressors, minimumDetectionConfidence)) {
            const auto moved = toPicture(d, tile, p, picture.width, picture.height);
            if (ownedByTile(moved, tile, picture.width, picture.height)) perTile[i].push_back(moved);
        }
    };
    // The whole picture first, on this thread: it also loads the model, or
    // reports why it cannot.
    search(0);
    if (tiles.size() > 1)
        cv::parallel_for_(cv::Range(1, int(tiles.size())), [&](const cv::Range& range) {
            for (int i = range.start; i < range.end; ++i) {
                try {
                    search(std::size_t(i));
                } catch (...) {
                    failures[std::size_t(i)] = std::current_exception();
                }
            }
        });
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
    std::vector<BlazeFace::Detection> found;
    for (const auto& detections : perTile) found.insert(found.end(), detections.begin(), detections.end());

    std::vector<FaceObservation> faces;
    for (const auto& d : withoutNested(BlazeFace::weightedNonMaxSuppression(std::move(found))))
        faces.push_back(observation(d, picture));
    return faces;
}

std::optional<std::vector<FaceObservation>> detectFaces(const Imaging::Bitmap& picture) {
    try {
        return findFaces(picture);
    } catch (const Unavailable&) {
        return std::nullopt;
    }
}

}  // namespace Vision
