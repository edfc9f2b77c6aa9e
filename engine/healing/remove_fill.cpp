#include "engine/healing/remove_fill.h"

#include "engine/imaging/png_file.h"
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace RemoveFill {

using AreaHeal::Box;
using AreaHeal::Delta;
using AreaHeal::Stroke;
using Imaging::Bitmap;
using Imaging::Image;

namespace {

int roundInt(double v) { return int(std::round(v)); }  // half away from zero

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// A square of side v centred on the box, clamped into the picture.
Box squareAround(const Box& box, int v, int W, int H) {
    const int cx = box.x + box.w / 2, cy = box.y + box.h / 2;
    const int x = std::clamp(cx - v / 2, 0, std::max(0, W - v));
    const int y = std::clamp(cy - v / 2, 0, std::max(0, H - v));
    return {x, y, v, v};
}

// The (2·radius + 1) maximum along rows (step 1) or columns (step w), in place.
void maximumPass(std::vector<std::uint8_t>& values, int length, int lines, std::size_t step, std::size_t lineStep,
                 int radius) {
    std::vector<std::uint8_t> line(static_cast<std::size_t>(length));
    for (int l = 0; l < lines; ++l) {
        std::uint8_t* base = values.data() + std::size_t(l) * lineStep;
        for (int i = 0; i < length; ++i) line[std::size_t(i)] = base[std::size_t(i) * step];
        for (int i = 0; i < length; ++i) {
            std::uint8_t m = 0;
            for (int j = std::max(0, i - radius); j <= std::min(length - 1, i + radius); ++j) m = std::max(m, line[std::size_t(j)]);
            base[std::size_t(i) * step] = m;
        }
    }
}

// The model's inputs from a 512×512 RGBA raster and its 512×512 stroke mask.
std::pair<cv::Mat, cv::Mat> modelInputs(const Bitmap& rgba, const std::vector<std::uint8_t>& strokeMask) {
    const int dims[] = {1, 3, side, side};
    cv::Mat image(4, dims, CV_32F);
    const int maskDims[] = {1, 1, side, side};
    cv::Mat mask(4, maskDims, CV_32F);
    float* planes = image.ptr<float>();
    float* m = mask.ptr<float>();
    const std::size_t plane = std::size_t(side) * side;
    for (int y = 0; y < side; ++y) {
        const std::uint8_t* p = rgba.row(y);
        for (int x = 0; x < side; ++x, p += 4) {
            const std::size_t i = std::size_t(y) * side + std::size_t(x);
            for (std::size_t c = 0; c < 3; ++c) planes[c * plane + i] = p[c] / 255.0f;
            m[i] = strokeMask[i] >= 128 ? 1.0f : 0.0f;
        }
    }
    return {image, mask};
}

}  // namespace

std::string modelPath() { return environment("MERROW_REMOVE_MODEL"); }
std::string patchesDir() { return environment("MERROW_REMOVE_PATCHES"); }

struct Model::Network {
    cv::dnn::Net net;
};

Model::Model(const std::string& path) : net_(std::make_unique<Network>()) {
    net_->net = cv::dnn::readNetFromONNX(path);
    if (net_->net.empty()) throw std::runtime_error("the model file holds no network");
}

Model::~Model() = default;

cv::Mat Model::forward(const cv::Mat& image, const cv::Mat& mask) {
    const std::lock_guard<std::mutex> hold(lock_);
    cv::dnn::Net& net = net_->net;
    if (net.getLayerId("output") < 0) throw Failure("The Remove model gave no picture");
    net.setInput(image, "image");
    net.setInput(mask, "mask");
    cv::Mat out = net.forward("output");
    if (out.empty() || out.dims < 2 || out.total() < std::size_t(3) * side * side)
        throw Failure("The Remove model gave no picture");
    return out.clone();
}

std::shared_ptr<Model> model() {
    static std::mutex lock;
    static std::string cachedPath;
    static std::shared_ptr<Model> cached;
    const std::string path = modelPath();
    if (path.empty()) return nullptr;
    {
        const std::lock_guard<std::mutex> hold(lock);
        if (cached && cachedPath == path) return cached;
    }
    std::shared_ptr<Model> loaded;
    try {
        loaded = std::make_shared<Model>(path);
    } catch (const std::exception&) {
        return nullptr;  // a file that does not load is no model
    }
    const std::lock_guard<std::mutex> hold(lock);
    cachedPath = path;
    cached = loaded;
    return loaded;
}

Box cloudSquare(const Box& box, int W, int H) {
    int s = roundInt(std::max(2.2 * std::max(box.w, box.h), 0.15 * std::min(W, H)));
    s = std::max(1, std::min({s, W, H}));
    return squareAround(box, s, W, H);
}

std::optional<std::pair<RGB, int>> readPatch(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
    // A PNG says its size in its header: a huge one is refused before it is decoded.
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        unsigned char head[24] = {};
        const std::size_t got = std::fread(head, 1, sizeof head, file);
        std::fclose(file);
        static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
        const auto big = [&](int at) {
            return std::uint32_t(head[at]) << 24 | std::uint32_t(head[at + 1]) << 16 | std::uint32_t(head[at + 2]) << 8 |
                   std::uint32_t(head[at + 3]);
        };
        if (got == sizeof head && std::memcmp(head, signature, 8) == 0 &&
            (big(16) > std::uint32_t(maximumPatchSide) || big(20) > std::uint32_t(maximumPatchSide)))
            return std::nullopt;
    }
    cv::Mat bgr;
    try {
        bgr = cv::imread(path, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
    } catch (const cv::Exception&) {
        return std::nullopt;
    }
    if (bgr.empty() || bgr.cols != bgr.rows || bgr.cols < 16 || bgr.cols > maximumPatchSide || bgr.type() != CV_8UC3)
        return std::nullopt;
    const int n = bgr.cols;
    RGB out(std::size_t(n) * std::size_t(n));
    for (int y = 0; y < n; ++y) {
        const cv::Vec3b* row = bgr.ptr<cv::Vec3b>(y);
        for (int x = 0; x < n; ++x) out[std::size_t(y) * std::size_t(n) + std::size_t(x)] = {double(row[x][2]), double(row[x][1]), double(row[x][0])};
    }
    return std::make_pair(std::move(out), n);
}

std::vector<std::uint8_t> dilate(std::vector<std::uint8_t> mask, int w, int h, int radius) {
    if (radius <= 0 || w <= 0 || h <= 0) return mask;
    maximumPass(mask, w, h, 1, std::size_t(w), radius);
    maximumPass(mask, h, w, std::size_t(w), 1, radius);
    return mask;
}

bool writePNG(const std::uint8_t* bytes, int w, int h, int channels, const std::string& path) {
    if (!bytes || w <= 0 || h <= 0 || (channels != 1 && channels != 4)) return false;
    Bitmap picture(w, h, channels);
    std::copy(bytes, bytes + picture.pixels.size(), picture.pixels.begin());
    const std::string temporary = path + ".part-" + std::to_string(::getpid());
    const auto stored = channels == 1 ? PNGFile::Stored::grey : PNGFile::Stored::rgb;
    if (PNGFile::write(temporary, picture, stored) != PNGFile::WriteResult::written) return false;
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        std::error_code error;
        return std::filesystem::exists(path, error);
    }
    return true;
}

RGB readRGB(const cv::Mat& output) {
    const std::size_t plane = std::size_t(side) * side;
    cv::Mat values;
    if (output.depth() == CV_64F || output.depth() == CV_16F) output.convertTo(values, CV_32F);
    else values = output;
    if (!values.isContinuous()) values = values.clone();
    const float* data = values.ptr<float>();
    RGB out(plane);
    float largest = -INFINITY;
    for (std::size_t i = 0; i < plane; ++i)
        for (std::size_t c = 0; c < 3; ++c) {
            out[i][c] = data[c * plane + i];
            largest = std::max(largest, data[c * plane + i]);
        }
    if (largest <= 1.5)
        for (auto& rgb : out)
            for (double& v : rgb) v *= 255;
    return out;
}

std::optional<Delta> composite(const Stroke& area, const Box& box, const Box& square, const RGB& filled, int fillSide,
                               const Image& image, int W, int H) {
    // 1. Target pixels and stroke mask.
    const double rho = AreaHeal::radius(area, W);
    const Box T = box.padded(std::max(3, roundInt(0.5 * rho)), W, H);
    if (T.w <= 0 || T.h <= 0 || fillSide <= 0 || filled.size() < std::size_t(fillSide) * std::size_t(fillSide))
        return std::nullopt;
    const Bitmap target = AreaHeal::pixels(image, T, 1, H);
    const Bitmap strokeBitmap = AreaHeal::mask(area, T, 1, W, H);
    if (target.width != T.w || target.height != T.h) return std::nullopt;
    const std::size_t count = std::size_t(T.w) * std::size_t(T.h);
    const std::vector<std::uint8_t> strokeMask(strokeBitmap.pixels.begin(), strokeBitmap.pixels.end());

    // 2. The fill resampled into T.
    const auto position = [&](int p, int origin, int length) {
        return std::clamp(double(fillSide) / length * (p - origin + 0.5) - 0.5, 0.0, double(fillSide - 1));
    };
    RGB fill(count);
    for (int row = 0; row < T.h; ++row) {
        const double fy = position(T.y + row, square.y, square.h);
        const int y0 = int(fy), y1 = std::min(y0 + 1, fillSide - 1);
        const double ay = fy - y0;
        for (int col = 0; col < T.w; ++col) {
            const double fx = position(T.x + col, square.x, square.w);
            const int x0 = int(fx), x1 = std::min(x0 + 1, fillSide - 1);
            const double ax = fx - x0;
            const auto at = [&](int x, int y) -> const std::array<double, 3>& {
                return filled[std::size_t(y) * std::size_t(fillSide) + std::size_t(x)];
            };
            auto& out = fill[std::size_t(row) * std::size_t(T.w) + std::size_t(col)];
            for (std::size_t c = 0; c < 3; ++c) {
                const double top = at(x0, y0)[c] + ax * (at(x1, y0)[c] - at(x0, y0)[c]);
                const double bottom = at(x0, y1)[c] + ax * (at(x1, y1)[c] - at(x0, y1)[c]);
                out[c] = top + ay * (bottom - top);
            }
        }
    }

    // 3. Colour offset over the ring around the stroke.
    const std::vector<std::uint8_t> grown = dilate(strokeMask, T.w, T.h, std::max(2, roundInt(0.25 * rho)));
    std::array<double, 3> offset{0, 0, 0};
    std::size_t ringCount = 0;
    const auto targetAt = [&](int col, int row, std::size_t c) { return double(target.row(row)[col * 4 + int(c)]); };
    const auto targetLuma = [&](int col, int row) {
        return AreaHeal::luma(targetAt(col, row, 0), targetAt(col, row, 1), targetAt(col, row, 2));
    };
    for (int row = 0; row < T.h; ++row)
        for (int col = 0; col < T.w; ++col) {
            const std::size_t i = std::size_t(row) * std::size_t(T.w) + std::size_t(col);
            if (grown[i] == 0 || strokeMask[i] != 0) continue;
            for (std::size_t c = 0; c < 3; ++c) offset[c] += targetAt(col, row, c) - fill[i][c];
            ++ringCount;
        }
    if (ringCount > 0)
        for (double& v : offset) v /= double(ringCount);

    // 4. Grain: the spread of luma around its 3×3 mean over the ring.
    double sum = 0, sum2 = 0;
    std::size_t contributed = 0;
    for (int row = 1; row + 1 < T.h; ++row)
        for (int col = 1; col + 1 < T.w; ++col) {
            const std::size_t i = std::size_t(row) * std::size_t(T.w) + std::size_t(col);
            if (grown[i] == 0 || strokeMask[i] != 0) continue;
            double local = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) local += targetLuma(col + dx, row + dy);
            const double r = targetLuma(col, row) - local / 9;
            sum += r, sum2 += r * r;
            ++contributed;
        }
    double grain = 0;
    if (contributed > 8) {
        const double mean = sum / double(contributed);
        grain = std::sqrt(std::max(0.0, sum2 / double(contributed) - mean * mean));
    }

    // 5. Feathered alpha.
    std::vector<float> alpha(count);
    for (std::size_t i = 0; i < count; ++i) alpha[i] = strokeMask[i] / 255.0f;
    alpha = AreaHeal::softEdge(std::move(alpha), T.w, T.h, std::max(1, roundInt(0.15 * rho)));

    // 6. The difference rasters, with a grain noise fixed per picture pixel.
    Bitmap positive(T.w, T.h, 4), negative(T.w, T.h, 4);
    bool changed = false;
    for (int row = 0; row < T.h; ++row) {
        std::uint8_t* p = positive.row(row);
        std::uint8_t* n = negative.row(row);
        for (int col = 0; col < T.w; ++col) {
            p[col * 4 + 3] = n[col * 4 + 3] = 255;
            const std::size_t i = std::size_t(row) * std::size_t(T.w) + std::size_t(col);
            const double a = alpha[i];
            if (!(a > 0.002)) continue;
            const std::uint64_t X = std::uint64_t(T.x + col), Y = std::uint64_t(T.y + row);
            std::uint64_t k = (X * 0x9e3779b97f4a7c15ULL) ^ (Y * 0xc2b2ae3d27d4eb4fULL);
            k ^= k >> 31;
            k *= 0xbf58476d1ce4e5b9ULL;
            k ^= k >> 29;
            const double u1 = double(k & 0xffff) / 65535.0, u2 = double((k >> 16) & 0xffff) / 65535.0;
            const double noise = grain * (u1 + u2 - 1) * 1.73;
            for (std::size_t c = 0; c < 3; ++c) {
                const int before = target.row(row)[col * 4 + int(c)];
                const double blended = before + a * (noise + offset[c] + fill[i][c] - before);
                const int after = std::clamp(roundInt(blended), 0, 255);
                p[col * 4 + int(c)] = std::uint8_t(std::max(0, after - before));
                n[col * 4 + int(c)] = std::uint8_t(std::max(0, before - after));
                changed = changed || after != before;
            }
        }
    }
    if (!changed) return std::nullopt;
    return Delta{std::move(positive), std::move(negative), T, std::nullopt};
}

std::optional<Delta> fill(const Stroke& area, const Box& box, const Image& image, int W, int H) {
    // 1. The patch folder.
    const std::string folder = patchesDir();
    if (area.fill && !folder.empty()) {
        const Box Q = cloudSquare(box, W, H);
        const std::string base = (std::filesystem::path(folder) / *area.fill).string();
        if (std::optional<std::pair<RGB, int>> patch = readPatch(base + ".png"))
            return composite(area, box, Q, patch->first, patch->second, image, W, H);
        std::error_code error;
        const int s = Q.w;
        if (!std::filesystem::exists(base + ".in.png", error) && s >= 256) {
            const int S = s >= 1024 ? 1024 : s / 16 * 16;
            const double scale = double(S) / s;
            const Bitmap square = AreaHeal::pixels(image, Q, scale, H);
            const Bitmap strokeMask = AreaHeal::mask(area, Q, scale, W, H);
            if (square.width == S && square.height == S && strokeMask.width == S && strokeMask.height == S) {
                const std::vector<std::uint8_t> grown = dilate(strokeMask.pixels, S, S, 3);
                if (writePNG(grown.data(), S, S, 1, base + ".mask.png"))
                    writePNG(square.pixels.data(), S, S, 4, base + ".in.png");
            }
        }
    }

    // 2. The model.
    const std::shared_ptr<Model> network = model();
    if (!network) return std::nullopt;

    // 3–4. The model square and its inputs.
    const int v = std::min({std::max(side, roundInt(2.2 * std::max(box.w, box.h))), W, H});
    const Box square = squareAround(box, v, W, H);
    const double scale = double(side) / v;
    const Bitmap rgba = AreaHeal::pixels(image, square, scale, H);
    if (rgba.width != side || rgba.height != side) return std::nullopt;
    const Bitmap strokeMask = AreaHeal::mask(area, square, scale, W, H);
    if (strokeMask.width != side || strokeMask.height != side) return std::nullopt;
    const auto [input, maskInput] = modelInputs(rgba, dilate(strokeMask.pixels, side, side, 3));

    // 5–6. Run it and blend the result in.
    const cv::Mat output = network->forward(input, maskInput);
    return composite(area, box, square, readRGB(output), side, image, W, H);
}

std::optional<Image> one(const Stroke& area, const Box& box, const Image& image, int W, int H) {
    std::optional<Delta> delta = fill(area, box, image, W, H);
    if (!delta) return std::nullopt;
    return AreaHeal::blendDelta(image, delta->positive, delta->negative, delta->box, H);
}

}  // namespace RemoveFill
