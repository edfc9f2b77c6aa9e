#include "engine/camera/camera_look.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <numeric>
#include <set>
#include <string>

#include "engine/library/extraction.h"

namespace CameraLook {

namespace {

std::mutex lock;
std::map<std::string, Match> cache;
std::set<std::string> misses;

struct Samples {
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
};

// The camera's own rendering: the embedded preview only, never a decode.
std::optional<Samples> cameraSamples(const std::filesystem::path& file) {
    const auto source = Extraction::open(file);
    if (!source) return std::nullopt;
    const auto preview = Extraction::preview(*source, sampleEdge, false, true);
    if (!preview) return std::nullopt;
    auto sampled = pixels(*preview);
    if (!sampled) return std::nullopt;
    return Samples{std::move(*sampled), preview->width, preview->height};
}

// Samples of our (linear) rendering as display-encoded 8-bit values, the
// same encoding as the camera's sRGB preview.
std::optional<std::vector<std::uint8_t>> samples(const Imaging::Image& image, int width, int height) {
    if (image.empty()) return std::nullopt;
    const Imaging::Rect& e = image.extent();
    const Imaging::Image part = Imaging::crop(image, {e.x, e.y, width, height});
    if (part.width() != width || part.height() != height) return std::nullopt;
    const Imaging::Image encoded = Imaging::map(part, [](const Imaging::Pixel& p) {
        auto display = [](float v) { return Imaging::sRGBEncode(std::clamp(v, 0.0f, 1.0f)); };
        return Imaging::Pixel{display(p.r), display(p.g), display(p.b), 1};
    });
    return pixels(Imaging::renderRGBA8(encoded));
}

std::optional<Match> computeMatch(const std::filesystem::path& file, const NeutralRendering& neutral) {
    const auto camera = cameraSamples(file);
    if (!camera) return std::nullopt;
    const auto rendered = neutral(camera->width, camera->height);
    if (!rendered) return std::nullopt;
    const auto ours = samples(*rendered, camera->width, camera->height);
    if (!ours) return std::nullopt;
    Match match;
    for (int channel = 0; channel < 3; ++channel)
        match.curves.push_back(CameraLookCurve::fit(histogram(*ours, channel), histogram(camera->pixels, channel)));
    return match;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> pixels(const Imaging::Bitmap& bitmap) {
    if (bitmap.width <= 0 || bitmap.height <= 0) return std::nullopt;
    const int channels = bitmap.channels;
    if (channels != 1 && channels != 3 && channels != 4) return std::nullopt;
    const std::size_t count = std::size_t(bitmap.width) * std::size_t(bitmap.height);
    if (bitmap.pixels.size() < count * std::size_t(channels)) return std::nullopt;

    std::vector<std::uint8_t> out;
    out.reserve((count / sampleStride + 1) * 4);
    for (std::size_t i = 0; i < count; i += sampleStride) {
        const std::uint8_t* p = bitmap.pixels.data() + i * std::size_t(channels);
        std::uint8_t rgb[3];
        if (channels == 1) {
            rgb[0] = rgb[1] = rgb[2] = p[0];
        } else {
            for (int k = 0; k < 3; ++k) rgb[k] = p[k];
            if (channels == 4)
                for (auto& v : rgb) v = std::uint8_t((unsigned(v) * p[3] + 127) / 255);
        }
        out.insert(out.end(), {rgb[0], rgb[1], rgb[2], 255});
    }
    if (out.size() < 4) return std::nullopt;
    return out;
}

std::vector<double> histogram(const std::vector<std::uint8_t>& samples, int channel) {
    std::vector<double> bins(256, 0.0);
    if (channel < 0 || channel > 2) return bins;
    for (std::size_t i = std::size_t(channel); i < samples.size(); i += 4) bins[samples[i]] += 1;
    return bins;
}

std::optional<std::array<std::vector<float>, 3>> curveTables(const Match& match) {
    if (match.curves.size() != 3) return std::nullopt;
    std::array<std::vector<float>, 3> tables;
    for (int c = 0; c < 3; ++c) {
        if (match.curves[c].size() != 256) return std::nullopt;
        tables[c].resize(256);
        for (int i = 0; i < 256; ++i) tables[c][i] = match.curves[c][i] / 255.0f;
    }
    return tables;
}

std::optional<Match> match(const std::filesystem::path& file) {
    std::lock_guard guard(lock);
    if (auto it = cache.find(file.string()); it != cache.end()) return it->second;
    return std::nullopt;
}

void prepare(const std::filesystem::path& file, const NeutralRendering& neutral) {
    const std::string key = file.string();
    {
        std::lock_guard guard(lock);
        if (cache.count(key) || misses.count(key)) return;
    }
    auto computed = computeMatch(file, neutral);
    std::lock_guard guard(lock);
    if (!computed) {
        misses.insert(key);
        return;
    }
    if (cache.size() >= cacheLimit) {
        cache.clear();
        misses.clear();
    }
    cache[key] = std::move(*computed);
}

bool knownMiss(const std::filesystem::path& file) {
    std::lock_guard guard(lock);
    return misses.count(file.string()) > 0;
}

}  // namespace CameraLook

namespace CameraLookCurve {

namespace {

std::vector<float> identity() {
    std::vector<float> out(256);
    for (int i = 0; i < 256; ++i) out[i] = float(i);
    return out;
}

std::vector<double> cumulative(const std::vector<double>& h, double total) {
    std::vector<double> out(256);
    double running = 0;
    for (int i = 0; i < 256; ++i) out[i] = (running += h[i]) / total;
    return out;
}

}  // namespace

std::vector<float> fit(const std::vector<double>& ours, const std::vector<double>& camera) {
    if (ours.size() != 256 || camera.size() != 256) return identity();
    const double ourTotal = std::accumulate(ours.begin(), ours.end(), 0.0);
    const double cameraTotal = std::accumulate(camera.begin(), camera.end(), 0.0);
    if (!(ourTotal > 0) || !(cameraTotal > 0)) return identity();
    const auto co = cumulative(ours, ourTotal), cc = cumulative(camera, cameraTotal);

    // Raw offsets: the first camera level whose share reaches ours, never going back.
    std::vector<double> offset(256);
    int d = 0;
    for (int i = 0; i < 256; ++i) {
        int e = 255;  // no later level reaches it (or d is already 255)
        for (int j = d; j <= 254; ++j) {
            if (cc[j] >= co[i]) {
                e = j;
                break;
            }
        }
        offset[i] = e - i;
        d = e;
    }

    // Gaussian smoothing of the offsets, cut at three deviations.
    const int radius = int(3 * smoothing);
    std::vector<double> weights(2 * radius + 1);
    for (int k = 0; k <= 2 * radius; ++k)
        weights[k] = std::exp(-double((k - radius) * (k - radius)) / (2 * smoothing * smoothing));
    const double weightSum = std::accumulate(weights.begin(), weights.end(), 0.0);

    std::vector<float> out(256);
    for (int i = 0; i < 256; ++i) {
        double s = 0;
        for (int k = 0; k <= 2 * radius; ++k) s += weights[k] * offset[std::clamp(i + k - radius, 0, 255)];
        out[i] = float(std::clamp(i + s / weightSum, 0.0, 255.0));
    }
    return out;
}

}  // namespace CameraLookCurve
