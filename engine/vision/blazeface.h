#pragma once
// Decoding of MediaPipe's BlazeFace full-range ("back", 256 x 256) detector
// outputs: the anchor grid, the box and keypoint regressors, and the weighted
// non-maximum suppression that merges overlapping detections.
//
// Coordinates here are fractions of the square network input, origin at the
// top-left corner, y down.

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace BlazeFace {

inline constexpr int inputSize = 256;
inline constexpr int keypointCount = 6;
inline constexpr int regressorWidth = 4 + 2 * keypointCount;  // 16 values per anchor

// Anchor grids of the network, in output order: 16 x 16 cells with 2 anchors
// each, then 8 x 8 cells with 6 anchors each.
struct Grid {
    int size;
    int anchorsPerCell;
};
inline constexpr std::array<Grid, 2> grids{Grid{16, 2}, Grid{8, 6}};
inline constexpr int anchorCount = 16 * 16 * 2 + 8 * 8 * 6;  // 896

// Raw scores are clipped to this magnitude before the sigmoid.
inline constexpr float scoreClip = 100.0f;

// Detections whose boxes overlap more than this (intersection over union) are merged.
inline constexpr float suppressionOverlap = 0.3f;

struct Point {
    float x = 0;
    float y = 0;
};

struct Anchor {
    float x = 0;  // centre, fraction of the input
    float y = 0;
};

// Keypoints in the network's order.
enum Keypoint { rightEye = 0, leftEye = 1, noseTip = 2, mouthCentre = 3, rightEarTragion = 4, leftEarTragion = 5 };

struct Detection {
    float xMin = 0;
    float yMin = 0;
    float xMax = 0;
    float yMax = 0;
    std::array<Point, keypointCount> keypoints{};
    float score = 0;  // probability, 0 to 1

    float width() const { return xMax - xMin; }
    float height() const { return yMax - yMin; }
};

// The 896 anchor centres, in output order: ((x + 0.5) / size, (y + 0.5) / size)
// for each grid, row by row, every anchor of a cell at the cell's centre.
const std::vector<Anchor>& anchors();

float sigmoid(float rawScore);

// Turns the network outputs into detections whose score is at least minScore.
// `scores` holds one raw score per anchor and `regressors` regressorWidth values
// per anchor (both over all anchors, in output order). The regressors are in
// pixels of the input: box centre offset from the anchor, width, height, then
// the six keypoints as offsets from the anchor.
std::vector<Detection> decode(std::span<const float> scores, std::span<const float> regressors, float minScore);

// Intersection over union of two boxes; 0 when either is empty.
float overlap(const Detection& a, const Detection& b);

// MediaPipe's weighted non-maximum suppression: the best remaining detection
// takes every remaining detection overlapping it by more than `threshold`, and
// their boxes and keypoints are averaged, weighted by score; the merged
// detection keeps the best score. Results are ordered by score, best first.
std::vector<Detection> weightedNonMaxSuppression(std::vector<Detection> detections,
                                                 float threshold = suppressionOverlap);

}  // namespace BlazeFace
