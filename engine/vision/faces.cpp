#include "engine/vision/faces.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/vision/blazeface.h"
#include "engine/vision/face_check.h"
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

// The observation of a detection, its landmarks left for the caller.
FaceObservation observation(const BlazeFace::Detection& d) {
    const double x1 = std::clamp<double>(d.xMin, 0, 1), x2 = std::clamp<double>(d.xMax, 0, 1);
    const double y1 = std::clamp<double>(d.yMin, 0, 1), y2 = std::clamp<double>(d.yMax, 0, 1);
    FaceObservation face;
    face.boundingBox = Rect{x1, 1 - y2, x2 - x1, y2 - y1};
    face.confidence = d.score;
    face.detectorScore = d.score;
    return face;
}

// Whether b lies mostly inside a or the two overlap much: the same face.
bool sameFace(const BlazeFace::Detection& a, const BlazeFace::Detection& b) {
    const double areaB = double(b.width()) * b.height();
    return BlazeFace::overlap(a, b) > BlazeFace::suppressionOverlap || (areaB > 0 && intersection(a, b) > 0.5 * areaB);
}

// The detections of one face: the best first (its box is the face's box),
// then the weaker ones that are the same face.
struct Cluster {
    std::vector<BlazeFace::Detection> members;
    float confidence = 0;
    std::optional<float> check;  // the best check score among the members checked
    std::size_t framing = 0;     // the member whose box is reported: the best, or the one the check confirmed
};

// Groups detections, best detector score first, into faces.
std::vector<Cluster> clusters(std::vector<BlazeFace::Detection> bestFirst) {
    std::stable_sort(bestFirst.begin(), bestFirst.end(),
                     [](const auto& a, const auto& b) { return a.score > b.score; });
    std::vector<Cluster> out;
    for (const auto& d : bestFirst) {
        const auto it = std::find_if(out.begin(), out.end(),
                                     [&](const Cluster& c) { return sameFace(c.members.front(), d); });
        if (it != out.end()) {
            it->members.push_back(d);
        } else {
            out.push_back({{d}, d.score, std::nullopt, 0});
        }
    }
    return out;
}

// Asks the SSD network about the faces whose confidence is below
// confidentScore and whose best detection scores candidateScore or more, in
// rounds: each round checks the next member of every face still unsure (in
// parallel), until every face is sure, has no member left, or maximumChecks
// checks have run. A face's confidence becomes the
// larger of its detector score and the best check's calibrated confidence.
void check(const cv::Mat& rgb, std::vector<Cluster>& faces) {
    int checks = 0;
    for (std::size_t round = 0; checks < maximumChecks; ++round) {
        std::vector<std::size_t> unsure;
        for (std::size_t i = 0; i < faces.size() && checks + int(unsure.size()) < maximumChecks; ++i)
            if (faces[i].confidence < confidentScore && faces[i].members.front().score >= candidateScore &&
                round < faces[i].members.size())
                unsure.push_back(i);
        if (unsure.empty()) return;
        checks += int(unsure.size());
        std::vector<std::optional<float>> scores(unsure.size());
        const auto one = [&](std::size_t k) {
            const BlazeFace::Detection& d = faces[unsure[k]].members[round];
            scores[k] = FaceCheck::score(rgb, PixelBox{d.xMin * rgb.cols, d.yMin * rgb.rows, d.width() * rgb.cols,
                                                       d.height() * rgb.rows});
        };
        one(0);  // on this thread: it also loads the network
        if (unsure.size() > 1)
            cv::parallel_for_(cv::Range(1, int(unsure.size())), [&](const cv::Range& range) {
                for (int k = range.start; k < range.end; ++k) one(std::size_t(k));
            });
        for (std::size_t k = 0; k < unsure.size(); ++k) {
            if (!scores[k]) return;  // the network cannot run
            Cluster& c = faces[unsure[k]];
            c.check = std::max(c.check.value_or(0.0f), *scores[k]);
            const float confidence = FaceCheck::confidence(*scores[k]);
            // A weaker detection the check confirms frames the face better than
            // the best one it did not (a profile face's cheek against its head).
            if (confidence > c.confidence) c.confidence = confidence, c.framing = round;
        }
    }
}

}  // namespace

std::vector<FaceObservation> findFaces(const Imaging::Bitmap& picture, Search search) {
    if (picture.empty() || picture.pixels.size() < picture.stride() * std::size_t(picture.height)) return {};
    const cv::Mat rgb = rgbView(picture);
    if (rgb.empty()) return {};

    // Tiles are searched in parallel (as many threads as OpenCV is allowed)
    // and their detections gathered in tile order, so the result does not
    // depend on the threads.
    const std::vector<FaceTiles::Tile> tiles = FaceTiles::layout(picture.width, picture.height);
    if (tiles.empty()) return {};
    const bool thorough = search == Search::thorough && FaceCheck::available();
    const float floor = thorough ? supportScore : minimumDetectionConfidence;
    std::vector<std::vector<BlazeFace::Detection>> perTile(tiles.size());
    std::vector<std::exception_ptr> failures(tiles.size());
    const auto searchTile = [&](std::size_t i) {
        const FaceTiles::Tile& tile = tiles[i];
        const Placement p = place(tile);
        const FaceModel::Outputs outputs = FaceModel::run(networkInput(rgb, tile, p));
        for (const auto& d : BlazeFace::decode(outputs.scores, outputs.regressors, floor)) {
            const auto moved = toPicture(d, tile, p, picture.width, picture.height);
            if (ownedByTile(moved, tile, picture.width, picture.height)) perTile[i].push_back(moved);
        }
    };
    // The whole picture first, on this thread: it also loads the model, or
    // reports why it cannot.
    searchTile(0);
    if (tiles.size() > 1)
        cv::parallel_for_(cv::Range(1, int(tiles.size())), [&](const cv::Range& range) {
            for (int i = range.start; i < range.end; ++i) {
                try {
                    searchTile(std::size_t(i));
                } catch (...) {
                    failures[std::size_t(i)] = std::current_exception();
                }
            }
        });
    for (const auto& failure : failures)
        if (failure) std::rethrow_exception(failure);
    // Detections of the usual scores are merged as they always were; the weaker
    // candidates of a thorough search are merged among themselves, so that they
    // never move the box of a face found clearly.
    std::vector<BlazeFace::Detection> found, weak;
    for (const auto& detections : perTile)
        for (const auto& d : detections) (d.score >= minimumDetectionConfidence ? found : weak).push_back(d);
    std::vector<BlazeFace::Detection> merged;
    for (const auto* group : {&found, &weak})
        for (const auto& d : withoutNested(BlazeFace::weightedNonMaxSuppression(*group))) merged.push_back(d);
    std::vector<Cluster> candidates = clusters(std::move(merged));
    if (thorough) check(rgb, candidates);

    // Best confidence first, each face with the box of its framing detection.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Cluster& a, const Cluster& b) { return a.confidence > b.confidence; });
    // Two faces checked apart can still be one: a box lying a third or more
    // inside a better one is dropped.
    std::vector<FaceObservation> faces;
    std::vector<BlazeFace::Detection> kept;
    for (const Cluster& c : candidates) {
        if (!(c.confidence >= minimumDetectionConfidence)) continue;
        const BlazeFace::Detection& best = c.members[c.framing];
        const double area = double(best.width()) * best.height();
        if (std::any_of(kept.begin(), kept.end(), [&](const auto& k) {
                const double smaller = std::min(area, double(k.width()) * k.height());
                return smaller > 0 && intersection(k, best) >= smaller / 3;
            }))
            continue;
        kept.push_back(best);
        FaceObservation face = observation(best);
        face.confidence = c.confidence;
        face.checkScore = c.check;
        face.landmarks = landmarks(picture, best, face.boundingBox);
        faces.push_back(std::move(face));
    }
    return faces;
}

std::optional<std::vector<FaceObservation>> detectFaces(const Imaging::Bitmap& picture, Search search) {
    try {
        return findFaces(picture, search);
    } catch (const Unavailable&) {
        return std::nullopt;
    }
}

}  // namespace Vision
