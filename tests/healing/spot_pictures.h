#pragma once
// Pictures for the spot tests: even skin with a fine grain, blemishes painted
// at known places, and a portrait from the shared samples with its face box.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "engine/healing/spot_heal.h"
#include "engine/imaging/image.h"
#include "support/support.h"

namespace SpotPictures {

// A painted blemish: centre and radius in pixels (top-left origin), and its
// luma contrast (positive: darker and redder, negative: brighter).
struct Blemish {
    int x, y, radius;
    double contrast;
};

// Skin of one colour with a small deterministic grain (±2 levels).
inline Imaging::Bitmap skin(int w, int h) {
    Imaging::Bitmap out(w, h, 4);
    std::uint32_t state = 12345;
    for (int y = 0; y < h; ++y) {
        std::uint8_t* p = out.row(y);
        for (int x = 0; x < w; ++x, p += 4) {
            state = state * 1664525u + 1013904223u;
            const int grain = int((state >> 24) % 5) - 2;
            p[0] = std::uint8_t(200 + grain), p[1] = std::uint8_t(160 + grain), p[2] = std::uint8_t(140 + grain);
            p[3] = 255;
        }
    }
    return out;
}

// The weight of a blemish at distance d: full inside 0.6·radius, fading smoothly to 0 at the radius.
inline double blemishWeight(double d, double radius) {
    const double z = std::clamp((radius - d) / (0.4 * radius), 0.0, 1.0);
    return z * z * (3 - 2 * z);
}

// Paints blemishes into an RGB or RGBA bitmap. A dark one lowers luma by the
// contrast and reddens; a bright one raises every channel.
inline void paint(Imaging::Bitmap& bitmap, const std::vector<Blemish>& blemishes) {
    for (const Blemish& b : blemishes) {
        for (int y = b.y - b.radius; y <= b.y + b.radius; ++y) {
            for (int x = b.x - b.radius; x <= b.x + b.radius; ++x) {
                if (x < 0 || y < 0 || x >= bitmap.width || y >= bitmap.height) continue;
                const double k = b.contrast * blemishWeight(std::hypot(x - b.x, y - b.y), b.radius);
                std::uint8_t* p = bitmap.row(y) + std::size_t(x) * bitmap.channels;
                const double shift[3] = {b.contrast > 0 ? 0.6 : 1.0, b.contrast > 0 ? 1.2 : 1.0,
                                         b.contrast > 0 ? 1.1 : 1.0};
                for (int c = 0; c < 3; ++c) p[c] = std::uint8_t(std::clamp(std::lround(p[c] - k * shift[c]), 0L, 255L));
            }
        }
    }
}

// A mask picture: 1 inside the top-left pixel box, 0 elsewhere.
inline Imaging::Image boxMask(int w, int h, int left, int top, int right, int bottom) {
    return Imaging::generate(Imaging::Rect{0, 0, w, h}, [&](int x, int y) {
        const int row = h - 1 - y;
        const float v = x >= left && x < right && row >= top && row < bottom ? 1.0f : 0.0f;
        return Imaging::Pixel{v, v, v, 1};
    });
}

// The face of a top-left pixel box in picture coordinates.
inline SpotHeal::Face face(int h, int left, int top, int right, int bottom) {
    return {double(right - left), {double(left), double(h - bottom), double(right - left), double(bottom - top)}};
}

// A detected spot within a blemish's radius of its centre.
inline const SpotHeal::Spot* foundAt(const std::vector<SpotHeal::Spot>& spots, const Blemish& b) {
    for (const auto& s : spots)
        if (std::hypot(s.x - b.x, s.y - b.y) <= b.radius) return &s;
    return nullptr;
}

// The portrait used by the product tests, as RGBA, with its face box (top-left pixels).
struct Portrait {
    Imaging::Bitmap rgba;
    int left, top, right, bottom;
    std::vector<Blemish> blemishes;  // on forehead and cheeks
};
inline std::optional<Portrait> portrait() {
    if (!TestSupport::fixturesDir()) return std::nullopt;
    const cv::Mat bgr = cv::imread(TestSupport::fixture("portraits/webmorph_london030_eastasian_woman_smile.jpg").string());
    if (bgr.empty()) return std::nullopt;
    Portrait p;
    p.rgba = Imaging::Bitmap(bgr.cols, bgr.rows, 4);
    for (int y = 0; y < bgr.rows; ++y)
        for (int x = 0; x < bgr.cols; ++x) {
            const cv::Vec3b v = bgr.at<cv::Vec3b>(y, x);
            std::uint8_t* o = p.rgba.row(y) + std::size_t(x) * 4;
            o[0] = v[2], o[1] = v[1], o[2] = v[0], o[3] = 255;
        }
    p.left = 420, p.top = 405, p.right = 930, p.bottom = 1040;
    p.blemishes = {{580, 540, 5, 30}, {675, 505, 4, 25}, {783, 540, 6, 35}, {513, 783, 7, 30},
                   {560, 835, 3, 40}, {837, 783, 8, 25}, {800, 845, 5, 20}, {640, 470, 4, 35}};
    return p;
}

}  // namespace SpotPictures
