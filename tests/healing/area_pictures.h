#pragma once
// Pictures and measures for the heal and remove stroke tests: photos from the
// shared samples with dark objects painted on, textured synthetic pictures,
// and the colour statistics of a disc or a ring.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/healing/area_heal.h"
#include "engine/imaging/image.h"
#include "support/support.h"

namespace AreaPictures {

// An 8-bit RGBA picture of a shared sample photo.
inline Imaging::Bitmap photo(const std::string& relative) {
    const cv::Mat bgr = cv::imread(TestSupport::fixture(relative).string(), cv::IMREAD_COLOR);
    Imaging::Bitmap out(bgr.cols, bgr.rows, 4);
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) {
            const cv::Vec3b p = bgr.at<cv::Vec3b>(y, x);
            std::uint8_t* o = out.row(y) + std::size_t(x) * 4;
            o[0] = p[2], o[1] = p[1], o[2] = p[0], o[3] = 255;
        }
    return out;
}

// A picture of one colour with a deterministic texture of ±amplitude levels.
inline Imaging::Bitmap textured(int w, int h, std::array<int, 3> colour, int amplitude, std::uint32_t seed = 7) {
    Imaging::Bitmap out(w, h, 4);
    std::uint32_t state = seed;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            state = state * 1664525u + 1013904223u;
            const int grain = amplitude == 0 ? 0 : int((state >> 16) % std::uint32_t(2 * amplitude + 1)) - amplitude;
            std::uint8_t* p = out.row(y) + std::size_t(x) * 4;
            for (int c = 0; c < 3; ++c) p[c] = std::uint8_t(std::clamp(colour[std::size_t(c)] + grain, 0, 255));
            p[3] = 255;
        }
    return out;
}

// Paints dark paint where `inside(x, y)` holds (an object to remove).
inline void paintDark(Imaging::Bitmap& bitmap, const std::function<bool(int, int)>& inside) {
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = 0; x < bitmap.width; ++x)
            if (inside(x, y)) {
                std::uint8_t* p = bitmap.row(y) + std::size_t(x) * 4;
                p[0] = 18, p[1] = 14, p[2] = 22;
            }
}

// A stroke in pixels of a w×h picture.
inline AreaHeal::Stroke stroke(const std::string& tool, double radiusPixels, std::vector<std::array<double, 2>> points,
                               int w, int h) {
    AreaHeal::Stroke s;
    s.tool = tool;
    s.r = radiusPixels / w;
    for (const auto& p : points) s.pts.push_back({p[0] / w, p[1] / h});
    return s;
}

// Colour statistics of the pixels where `inside(x, y)` holds.
struct Statistics {
    double r = 0, g = 0, b = 0;  // mean colour
    double lumaDeviation = 0;
    int count = 0;
};

inline Statistics statistics(const Imaging::Bitmap& rgba, const std::function<bool(int, int)>& inside) {
    Statistics s;
    double l = 0, l2 = 0;
    for (int y = 0; y < rgba.height; ++y)
        for (int x = 0; x < rgba.width; ++x) {
            if (!inside(x, y)) continue;
            const std::uint8_t* p = rgba.row(y) + std::size_t(x) * 4;
            s.r += p[0], s.g += p[1], s.b += p[2];
            const double luma = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
            l += luma, l2 += luma * luma;
            ++s.count;
        }
    s.r /= s.count, s.g /= s.count, s.b /= s.count;
    const double mean = l / s.count;
    s.lumaDeviation = std::sqrt(std::max(0.0, l2 / s.count - mean * mean));
    return s;
}

// CIE76 colour difference of two sRGB colours (0…255).
inline double deltaE76(const Statistics& a, const Statistics& b) {
    cv::Mat rgb(1, 2, CV_32FC3);
    rgb.at<cv::Vec3f>(0, 0) = cv::Vec3f(float(a.r / 255), float(a.g / 255), float(a.b / 255));
    rgb.at<cv::Vec3f>(0, 1) = cv::Vec3f(float(b.r / 255), float(b.g / 255), float(b.b / 255));
    cv::Mat lab;
    cv::cvtColor(rgb, lab, cv::COLOR_RGB2Lab);
    const cv::Vec3f p = lab.at<cv::Vec3f>(0, 0), q = lab.at<cv::Vec3f>(0, 1);
    return std::sqrt(double((p - q).dot(p - q)));
}

inline std::function<bool(int, int)> disc(double cx, double cy, double radius) {
    return [=](int x, int y) { return std::hypot(x + 0.5 - cx, y + 0.5 - cy) <= radius; };
}
inline std::function<bool(int, int)> ring(double cx, double cy, double from, double to) {
    return [=](int x, int y) {
        const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
        return d >= from && d <= to;
    };
}
// Within `radius` of the segment from (ax, ay) to (bx, by).
inline std::function<bool(int, int)> capsule(double ax, double ay, double bx, double by, double radius) {
    return [=](int x, int y) {
        const double px = x + 0.5 - ax, py = y + 0.5 - ay, dx = bx - ax, dy = by - ay;
        const double t = std::clamp((px * dx + py * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        return std::hypot(px - t * dx, py - t * dy) <= radius;
    };
}

}  // namespace AreaPictures
