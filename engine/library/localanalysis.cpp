// Local analysis: cheap, comparable measures of one preview, all computed on a
// fixed 160 x 160 reduction so that the cost does not depend on the preview size.
//
// Luma is kept as an exact integer, 2126 R + 7152 G + 722 B on the 8-bit
// components, i.e. Rec. 709 luma in units of 1 / 2,550,000. The gradient,
// Laplacian, thresholds and the summed-area table then work on exact integers:
// thresholds never wobble with rounding, and equal windows tie exactly, so the
// first of them wins as intended.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/library/analysis.h"

namespace Extraction {

namespace {

constexpr int side = 160;
constexpr int pixelCount = side * side;            // 25600
constexpr int interiorCount = (side - 2) * (side - 2);  // 24964
constexpr double lumaUnit = 2550000.0;             // integer luma per 1.0
constexpr int window = 20;
constexpr int windowStep = 2;
constexpr int lastWindowOrigin = side - window;    // 140

// Thresholds in integer luma units: 0.98, 0.03 and an edge magnitude of 0.14.
constexpr std::int64_t highlightLuma = 2499000;
constexpr std::int64_t shadowLuma = 76500;
constexpr std::int64_t edgeMagnitude = 357000;

double clamp01(double v) { return std::min(std::max(v, 0.0), 1.0); }

// ---- Working reduction -----------------------------------------------------

bool usable(const Imaging::Bitmap& picture) {
    if (picture.empty()) return false;
    if (picture.channels != 1 && picture.channels != 3 && picture.channels != 4) return false;
    return picture.pixels.size() == std::size_t(picture.width) * std::size_t(picture.height) * std::size_t(picture.channels);
}

// The picture stretched to 160 x 160 RGB, whatever its aspect ratio. Alpha is
// composed over black, as drawing into a cleared buffer does.
std::optional<cv::Mat> workingReduction(const Imaging::Bitmap& picture) {
    if (!usable(picture)) return std::nullopt;
    int type = picture.channels == 1 ? CV_8UC1 : picture.channels == 3 ? CV_8UC3 : CV_8UC4;
    cv::Mat source(picture.height, picture.width, type, const_cast<std::uint8_t*>(picture.pixels.data()), picture.stride());
    cv::Mat rgb;
    if (picture.channels == 1) {
        cv::cvtColor(source, rgb, cv::COLOR_GRAY2RGB);
    } else if (picture.channels == 4) {
        cv::Mat premultiplied;
        cv::cvtColor(source, premultiplied, cv::COLOR_RGBA2mRGBA);
        cv::cvtColor(premultiplied, rgb, cv::COLOR_RGBA2RGB);
    } else {
        rgb = source;
    }
    cv::Mat reduced;
    cv::resize(rgb, reduced, cv::Size(side, side), 0, 0, cv::INTER_AREA);
    return reduced;
}

// ---- Per-pixel terms ---------------------------------------------------------

struct PixelTerms {
    std::int64_t luma = 0;  // integer luma
    double warmth = 0;
    double saturation = 0;
};

PixelTerms pixelTerms(const std::uint8_t* rgb) {
    double r = rgb[0] / 255.0, g = rgb[1] / 255.0, b = rgb[2] / 255.0;
    PixelTerms terms;
    terms.luma = 2126 * std::int64_t(rgb[0]) + 7152 * std::int64_t(rgb[1]) + 722 * std::int64_t(rgb[2]);
    terms.warmth = (r - b + 1) * 0.5;
    terms.saturation = std::max({r, g, b}) - std::min({r, g, b});
    return terms;
}

struct LumaPlane {
    std::vector<std::int64_t> values = std::vector<std::int64_t>(pixelCount, 0);
    std::int64_t at(int x, int y) const { return values[std::size_t(y) * side + x]; }
};

struct GradientTerms {
    std::int64_t gx = 0;
    std::int64_t gy = 0;
    std::int64_t laplacian = 0;
    bool edge = false;
    double magnitude = 0;  // in luma 0...1 units
};

GradientTerms gradientTerms(const LumaPlane& L, int x, int y) {
    GradientTerms t;
    t.gx = std::llabs(L.at(x + 1, y) - L.at(x - 1, y));
    t.gy = std::llabs(L.at(x, y + 1) - L.at(x, y - 1));
    t.laplacian = std::llabs(4 * L.at(x, y) - L.at(x - 1, y) - L.at(x + 1, y) - L.at(x, y - 1) - L.at(x, y + 1));
    std::int64_t squared = t.gx * t.gx + t.gy * t.gy;
    t.edge = squared > edgeMagnitude * edgeMagnitude;
    t.magnitude = std::sqrt(double(squared)) / lumaUnit;
    return t;
}

// ---- Measures ----------------------------------------------------------------

struct GradientSums {
    double sx = 0, sy = 0, laplacian = 0;  // in luma 0...1 units
    long long edges = 0;
    double left = 0, right = 0;
    std::vector<std::int64_t> laplacianPlane = std::vector<std::int64_t>(pixelCount, 0);
};

GradientSums gradientSums(const LumaPlane& L) {
    GradientSums sums;
    std::int64_t sx = 0, sy = 0, lap = 0;
    for (int y = 1; y <= side - 2; ++y) {
        for (int x = 1; x <= side - 2; ++x) {
            GradientTerms t = gradientTerms(L, x, y);
            sums.laplacianPlane[std::size_t(y) * side + x] = t.laplacian;
            sx += t.gx;
            sy += t.gy;
            lap += t.laplacian;
            if (t.edge) ++sums.edges;
            (x <= side / 2 - 1 ? sums.left : sums.right) += t.magnitude;
        }
    }
    sums.sx = double(sx) / lumaUnit;
    sums.sy = double(sy) / lumaUnit;
    sums.laplacian = double(lap) / lumaUnit;
    return sums;
}

// Centre of the 20 x 20 window (origins on a 2-pixel lattice) with the largest
// Laplacian sum; the first such window in reading order wins ties.
std::optional<FocusPoint> sharpestRegion(const std::vector<std::int64_t>& laplacian) {
    constexpr int n = side + 1;
    std::vector<std::int64_t> table(std::size_t(n) * n, 0);
    for (int y = 0; y < side; ++y) {
        std::int64_t rowSum = 0;
        for (int x = 0; x < side; ++x) {
            rowSum += laplacian[std::size_t(y) * side + x];
            table[std::size_t(y + 1) * n + x + 1] = table[std::size_t(y) * n + x + 1] + rowSum;
        }
    }
    auto at = [&](int x, int y) { return table[std::size_t(y) * n + x]; };
    std::int64_t best = 0;
    int bestX = -1, bestY = -1;
    for (int y0 = 0; y0 <= lastWindowOrigin; y0 += windowStep) {
        for (int x0 = 0; x0 <= lastWindowOrigin; x0 += windowStep) {
            std::int64_t score = at(x0 + window, y0 + window) - at(x0, y0 + window) - at(x0 + window, y0) + at(x0, y0);
            if (score > best) {
                best = score;
                bestX = x0;
                bestY = y0;
            }
        }
    }
    if (best <= 0) return std::nullopt;
    return FocusPoint{clamp01((bestX + window / 2) / double(side)), clamp01((bestY + window / 2) / double(side))};
}

double mean(const std::vector<FaceEvidence>& faces, double (*score)(const FaceEvidence&)) {
    double total = 0;
    for (const FaceEvidence& face : faces) total += score(face);
    return total / double(faces.size());
}

double faceVisibility(const FaceEvidence& face) {
    double edge = std::min({face.x, 1 - face.x, face.y, 1 - face.y});
    return 0.35 * clamp01(edge / 0.22) + 0.65 * clamp01(face.area / 0.12);
}

double facePlacement(const FaceEvidence& face) {
    double thirds = clamp01(1 - std::min(std::abs(face.x - 1.0 / 3.0), std::abs(face.x - 2.0 / 3.0)) / 0.45);
    return 0.6 * thirds + 0.4 * clamp01(face.area / 0.1);
}

bool finite(const Vision::Rect& box) {
    return std::isfinite(box.x) && std::isfinite(box.y) && std::isfinite(box.width) && std::isfinite(box.height);
}

// (max x - min x) x (max y - min y) of the region's points.
double spread(const std::vector<Vision::Point>& points) {
    if (points.empty()) return 0;
    auto [minX, maxX] = std::minmax_element(points.begin(), points.end(), [](auto& a, auto& b) { return a.x < b.x; });
    auto [minY, maxY] = std::minmax_element(points.begin(), points.end(), [](auto& a, auto& b) { return a.y < b.y; });
    return (maxX->x - minX->x) * (maxY->y - minY->y);
}

std::vector<Vision::Point> finitePoints(const std::vector<Vision::Point>& points) {
    std::vector<Vision::Point> kept;
    for (const Vision::Point& p : points)
        if (std::isfinite(p.x) && std::isfinite(p.y)) kept.push_back(p);
    return kept;
}

// The centre of the more widely spread eye region of a face (left on ties),
// in picture fractions with y down. A region without points counts as missing.
std::optional<FocusPoint> eyeOf(const Vision::FaceObservation& face) {
    if (!face.landmarks) return std::nullopt;
    std::vector<Vision::Point> left = finitePoints(face.landmarks->leftEye);
    std::vector<Vision::Point> right = finitePoints(face.landmarks->rightEye);
    const std::vector<Vision::Point>* eye = nullptr;
    if (!left.empty() && !right.empty())
        eye = spread(right) > spread(left) ? &right : &left;
    else if (!left.empty())
        eye = &left;
    else if (!right.empty())
        eye = &right;
    if (!eye) return std::nullopt;
    double sumX = 0, sumY = 0;
    for (const Vision::Point& p : *eye) {
        sumX += p.x;
        sumY += p.y;
    }
    double mx = sumX / double(eye->size()), my = sumY / double(eye->size());
    const Vision::Rect& b = face.boundingBox;
    return FocusPoint{clamp01(b.x + mx * b.width), clamp01(1 - (b.y + my * b.height))};
}

}  // namespace

FaceFindings faceEvidence(const std::vector<Vision::FaceObservation>& observations) {
    FaceFindings findings;
    const Vision::FaceObservation* largest = nullptr;
    for (const Vision::FaceObservation& face : observations) {
        const Vision::Rect& b = face.boundingBox;
        if (!finite(b)) continue;
        findings.faces.push_back({b.x + b.width / 2, 1 - (b.y + b.height / 2), b.width * b.height});
        if (!largest || b.width * b.height > largest->boundingBox.width * largest->boundingBox.height) largest = &face;
    }
    if (largest) findings.eye = eyeOf(*largest);
    return findings;
}

namespace {

// The detector's observations of the preview; none when it cannot run. The
// detector reads RGB or RGBA, so a one-channel preview is widened first.
std::vector<Vision::FaceObservation> detectedFaces(const Imaging::Bitmap& preview) {
    try {
        std::optional<std::vector<Vision::FaceObservation>> found;
        if (preview.channels == 1) {
            Imaging::Bitmap rgb(preview.width, preview.height, 3);
            for (std::size_t i = 0; i < preview.pixels.size(); ++i)
                rgb.pixels[3 * i] = rgb.pixels[3 * i + 1] = rgb.pixels[3 * i + 2] = preview.pixels[i];
            found = Vision::detectFaces(rgb, Vision::Search::quick);
        } else {
            found = Vision::detectFaces(preview, Vision::Search::quick);
        }
        if (found) return std::move(*found);
    } catch (...) {
        // A detector that cannot run finds no faces.
    }
    return {};
}

}  // namespace

FaceFindings faceEvidence(const Imaging::Bitmap& preview) {
    if (!usable(preview)) return {};
    return faceEvidence(detectedFaces(preview));
}

std::optional<LocalAnalysis> localAnalysis(const Imaging::Bitmap& preview,
                                           const std::vector<Vision::FaceObservation>& observations) {
    std::optional<cv::Mat> reduced = workingReduction(preview);
    if (!reduced) return std::nullopt;

    // Pixel measures.
    LumaPlane L;
    std::int64_t lumaSum = 0;
    double warmthSum = 0, saturationSum = 0;
    long long highlights = 0, shadows = 0;
    for (int y = 0; y < side; ++y) {
        const std::uint8_t* row = reduced->ptr<std::uint8_t>(y);
        for (int x = 0; x < side; ++x) {
            PixelTerms t = pixelTerms(row + 3 * x);
            L.values[std::size_t(y) * side + x] = t.luma;
            lumaSum += t.luma;
            warmthSum += t.warmth;
            saturationSum += t.saturation;
            if (t.luma >= highlightLuma) ++highlights;
            if (t.luma <= shadowLuma) ++shadows;
        }
    }
    LocalAnalysis analysis;
    SceneEvidence& scene = analysis.scene;
    scene.luma = double(lumaSum) / lumaUnit / pixelCount;
    double deviationSum = 0;
    for (std::int64_t v : L.values) {
        double d = double(v) / lumaUnit - scene.luma;
        deviationSum += d * d;
    }
    scene.contrast = std::min(2.5 * std::sqrt(deviationSum / pixelCount), 1.0);
    scene.saturation = saturationSum / pixelCount;
    scene.warmth = warmthSum / pixelCount;
    scene.highlightRate = double(highlights) / pixelCount;
    scene.shadowRate = double(shadows) / pixelCount;

    // Gradient measures.
    GradientSums sums = gradientSums(L);
    scene.edgeDensity = double(sums.edges) / interiorCount;
    QualityEvidence& quality = analysis.quality;
    quality.focus = clamp01(1 - std::exp(-16 * sums.laplacian / interiorCount));
    double hi = std::max(sums.sx, sums.sy), lo = std::min(sums.sx, sums.sy);
    quality.motion = hi >= 0.0001 ? clamp01(lo / hi) : clamp01(lo / 0.0001);
    quality.exposure = clamp01(1 - std::abs(scene.luma - 0.5) / 0.45);
    quality.highlightSafety = clamp01(1 - scene.highlightRate / 0.15);

    analysis.focusPoint = sharpestRegion(sums.laplacianPlane);

    // Faces.
    FaceFindings findings = faceEvidence(observations);
    analysis.faces = findings.faces;
    analysis.eyePoint = findings.eye;
    if (!analysis.faces.empty()) {
        quality.faceVisibility = mean(analysis.faces, faceVisibility);
        quality.composition = mean(analysis.faces, facePlacement);
    } else {
        quality.composition = clamp01(1 - std::abs(sums.left - sums.right) / std::max(sums.left + sums.right, 0.0001));
    }
    return analysis;
}

std::optional<LocalAnalysis> localAnalysis(const Imaging::Bitmap& preview) {
    if (!usable(preview)) return std::nullopt;
    return localAnalysis(preview, detectedFaces(preview));
}

// ---- JSON --------------------------------------------------------------------

namespace {

nlohmann::ordered_json pointJSON(const FocusPoint& point) { return {{"x", point.x}, {"y", point.y}}; }

}  // namespace

nlohmann::ordered_json toJSON(const LocalAnalysis& analysis) {
    nlohmann::ordered_json scene = {
        {"luma", analysis.scene.luma},
        {"contrast", analysis.scene.contrast},
        {"saturation", analysis.scene.saturation},
        {"warmth", analysis.scene.warmth},
        {"highlightRate", analysis.scene.highlightRate},
        {"shadowRate", analysis.scene.shadowRate},
        {"edgeDensity", analysis.scene.edgeDensity},
    };
    nlohmann::ordered_json faces = nlohmann::ordered_json::array();
    for (const FaceEvidence& face : analysis.faces) faces.push_back({{"x", face.x}, {"y", face.y}, {"area", face.area}});

    const QualityEvidence& q = analysis.quality;
    nlohmann::ordered_json quality = nlohmann::ordered_json::object();
    quality["focus"] = q.focus;
    quality["motion"] = q.motion;
    if (q.eyesOpen) quality["eyesOpen"] = *q.eyesOpen;
    quality["exposure"] = q.exposure;
    quality["highlightSafety"] = q.highlightSafety;
    if (q.faceVisibility) quality["faceVisibility"] = *q.faceVisibility;
    quality["composition"] = q.composition;
    if (q.expression) quality["expression"] = *q.expression;

    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    json["version"] = analysis.version;
    json["scene"] = std::move(scene);
    json["faces"] = std::move(faces);
    if (analysis.eyePoint) json["eyePoint"] = pointJSON(*analysis.eyePoint);
    if (analysis.focusPoint) json["focusPoint"] = pointJSON(*analysis.focusPoint);
    json["quality"] = std::move(quality);
    return json;
}

}  // namespace Extraction
