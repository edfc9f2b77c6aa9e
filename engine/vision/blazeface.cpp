#include "engine/vision/blazeface.h"

#include <algorithm>
#include <cmath>

namespace BlazeFace {

const std::vector<Anchor>& anchors() {
    static const std::vector<Anchor> all = [] {
        std::vector<Anchor> out;
        out.reserve(anchorCount);
        for (const Grid& grid : grids) {
            for (int y = 0; y < grid.size; ++y) {
                for (int x = 0; x < grid.size; ++x) {
                    const Anchor centre{(x + 0.5f) / grid.size, (y + 0.5f) / grid.size};
                    for (int k = 0; k < grid.anchorsPerCell; ++k) out.push_back(centre);
                }
            }
        }
        return out;
    }();
    return all;
}

float sigmoid(float rawScore) {
    const float clipped = std::clamp(rawScore, -scoreClip, scoreClip);
    return 1.0f / (1.0f + std::exp(-clipped));
}

namespace {

// One anchor's regressors turned into a detection (score left for the caller).
Detection decodeAnchor(const Anchor& anchor, const float* r) {
    constexpr float scale = float(inputSize);
    const float cx = anchor.x + r[0] / scale;
    const float cy = anchor.y + r[1] / scale;
    const float w = r[2] / scale;
    const float h = r[3] / scale;
    Detection d;
    d.xMin = cx - w / 2;
    d.yMin = cy - h / 2;
    d.xMax = cx + w / 2;
    d.yMax = cy + h / 2;
    for (int k = 0; k < keypointCount; ++k)
        d.keypoints[k] = Point{anchor.x + r[4 + 2 * k] / scale, anchor.y + r[5 + 2 * k] / scale};
    return d;
}

float area(const Detection& d) { return std::max(0.0f, d.width()) * std::max(0.0f, d.height()); }

}  // namespace

std::vector<Detection> decode(std::span<const float> scores, std::span<const float> regressors, float minScore) {
    const auto& grid = anchors();
    const std::size_t count = std::min({grid.size(), scores.size(), regressors.size() / regressorWidth});
    std::vector<Detection> out;
    for (std::size_t i = 0; i < count; ++i) {
        const float score = sigmoid(scores[i]);
        if (!(score >= minScore)) continue;
        Detection d = decodeAnchor(grid[i], regressors.data() + i * regressorWidth);
        if (!(d.width() > 0) || !(d.height() > 0)) continue;
        d.score = score;
        out.push_back(d);
    }
    return out;
}

float overlap(const Detection& a, const Detection& b) {
    const float ix = std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin);
    const float iy = std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin);
    if (ix <= 0 || iy <= 0) return 0;
    const float intersection = ix * iy;
    const float united = area(a) + area(b) - intersection;
    return united > 0 ? intersection / united : 0;
}

std::vector<Detection> weightedNonMaxSuppression(std::vector<Detection> remaining, float threshold) {
    std::stable_sort(remaining.begin(), remaining.end(),
                     [](const Detection& a, const Detection& b) { return a.score > b.score; });
    std::vector<Detection> out;
    std::vector<Detection> rest;
    while (!remaining.empty()) {
        const Detection best = remaining.front();
        Detection sum;
        float total = 0;
        rest.clear();
        for (const Detection& d : remaining) {
            // The best detection overlaps itself fully, so it is always among those merged.
            if (&d != &remaining.front() && overlap(d, best) <= threshold) {
                rest.push_back(d);
                continue;
            }
            const float w = d.score;
            total += w;
            sum.xMin += d.xMin * w;
            sum.yMin += d.yMin * w;
            sum.xMax += d.xMax * w;
            sum.yMax += d.yMax * w;
            for (int k = 0; k < keypointCount; ++k) {
                sum.keypoints[k].x += d.keypoints[k].x * w;
                sum.keypoints[k].y += d.keypoints[k].y * w;
            }
        }
        Detection merged = best;
        if (total > 0) {
            merged.xMin = sum.xMin / total;
            merged.yMin = sum.yMin / total;
            merged.xMax = sum.xMax / total;
            merged.yMax = sum.yMax / total;
            for (int k = 0; k < keypointCount; ++k)
                merged.keypoints[k] = Point{sum.keypoints[k].x / total, sum.keypoints[k].y / total};
        }
        out.push_back(merged);
        remaining.swap(rest);
    }
    return out;
}

}  // namespace BlazeFace
