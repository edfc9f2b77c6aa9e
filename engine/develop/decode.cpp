#include "engine/develop/decode.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <libraw/libraw.h>
#include <turbojpeg.h>

#include "engine/develop/white_balance.h"
#include "engine/imaging/pixel_pool.h"
#include "engine/library/extraction.h"

namespace Develop {

namespace {

using Imaging::Image;
using Imaging::Pixel;

constexpr double minimumTemperature = 2000, maximumTemperature = 50000;
constexpr double tintLimit = 150;

double offsetOf(const std::optional<double>& v) { return v && std::isfinite(*v) ? *v : 0.0; }

bool isRenderedName(const std::filesystem::path& file) {
    std::string extension = file.extension().string();
    if (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    return std::find(Extraction::renderedExtensions.begin(), Extraction::renderedExtensions.end(), extension) !=
           Extraction::renderedExtensions.end();
}

// ---------------------------------------------------------------- RAW files

// The camera's colour facts that white balance needs: XYZ → camera and the
// as-shot multipliers.
struct CameraColour {
    WhiteBalance::Matrix3 xyzToCamera{};
    WhiteBalance::Vector3 asShotNeutral{};  // camera response to the as-shot light, green = 1
};

std::optional<CameraColour> cameraColour(const libraw_colordata_t& colour, int colours) {
    if (colours != 3) return std::nullopt;
    // A DNG's own colour matrix (the D65 one when it has two), else LibRaw's table entry for the camera.
    const auto sumOf = [](const float (*m)[3]) {
        double sum = 0;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) sum += std::fabs(m[r][c]);
        return sum;
    };
    const float (*matrix)[3] = nullptr;
    for (const auto& dng : colour.dng_color)
        if (sumOf(dng.colormatrix) > 0 && (!matrix || dng.illuminant == 21)) matrix = dng.colormatrix;
    if (!matrix && sumOf(colour.cam_xyz) > 0) matrix = colour.cam_xyz;
    if (!matrix) return std::nullopt;
    CameraColour out;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.xyzToCamera[r][c] = matrix[r][c];
    const float* mul = colour.cam_mul[0] > 0 && colour.cam_mul[1] > 0 && colour.cam_mul[2] > 0 ? colour.cam_mul
                                                                                                 : colour.pre_mul;
    if (!(mul[0] > 0 && mul[1] > 0 && mul[2] > 0)) return std::nullopt;
    for (int c = 0; c < 3; ++c) out.asShotNeutral[c] = double(mul[1]) / mul[c];
    return out;
}

WhiteBalance::Neutral asShot(const CameraColour& camera) {
    const auto xyz = WhiteBalance::times(WhiteBalance::inverse(camera.xyzToCamera), camera.asShotNeutral);
    return WhiteBalance::neutralOf(WhiteBalance::chromaticityOfXYZ(xyz));
}

// Camera multipliers (green = 1) that make light of `neutral` white.
std::array<float, 4> multipliersFor(const CameraColour& camera, WhiteBalance::Neutral neutral) {
    const auto response = WhiteBalance::times(camera.xyzToCamera,
                                              WhiteBalance::xyzOf(WhiteBalance::chromaticityOf(neutral)));
    std::array<float, 4> mul{1, 1, 1, 1};
    for (int c = 0; c < 3; ++c) mul[std::size_t(c)] = response[std::size_t(c)] > 1e-9 ? float(response[1] / response[std::size_t(c)]) : 1.0f;
    mul[3] = mul[1];
    return mul;
}

// Turns LibRaw's processed picture (camera colour, white-balanced, 16-bit
// linear, sensor white at 65535) into linear sRGB floats: the camera → sRGB
// matrix is applied here in floating point so that saturated colours keep
// values above 1.0 and below 0, the file's orientation is applied, and the
// picture is raised by one stop (sensor white lands at 2.0, the headroom the
// highlight roll-off works in).
struct LibRawPicture {
    const LibRaw& raw;
    int width = 0, height = 0;  // upright
    float m[3][3]{};

    explicit LibRawPicture(const LibRaw& decoded) : raw(decoded) {
        const auto& sizes = raw.imgdata.sizes;
        const bool swap = sizes.flip & 4;
        width = swap ? sizes.iheight : sizes.iwidth;
        height = swap ? sizes.iwidth : sizes.iheight;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) m[r][c] = raw.imgdata.color.rgb_cam[r][c] * (2.0f / 65535.0f);
    }

    // Upright row `row` (0 = top) into `out` (width pixels).
    void fill(int row, Pixel* out) const {
        const auto& sizes = raw.imgdata.sizes;
        const int iw = sizes.iwidth, ih = sizes.iheight, flip = sizes.flip;
        const bool grey = raw.imgdata.idata.colors == 1;
        const float greyScale = 2.0f / 65535.0f;
        const auto* pixels = raw.imgdata.image;
        for (int col = 0; col < width; ++col) {
            int r = row, c = col;
            if (flip & 4) std::swap(r, c);
            if (flip & 2) r = ih - 1 - r;
            if (flip & 1) c = iw - 1 - c;
            const auto& s = pixels[std::size_t(r) * std::size_t(iw) + std::size_t(c)];
            if (grey) {
                const float v = s[0] * greyScale;
                out[col] = {v, v, v, 1};
                continue;
            }
            const float cr = s[0], cg = s[1], cb = s[2];
            out[col] = {m[0][0] * cr + m[0][1] * cg + m[0][2] * cb, m[1][0] * cr + m[1][1] * cg + m[1][2] * cb,
                        m[2][0] * cr + m[2][1] * cg + m[2][2] * cb, 1};
        }
    }
};

Image fromLibRaw(const LibRaw& raw) {
    const LibRawPicture picture(raw);
    Image out(Imaging::Rect{0, 0, picture.width, picture.height});
    Imaging::forRows(picture.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) picture.fill(row, out.mutableMat().ptr<Pixel>(row));
    });
    return out;
}

// The same scaled to width × height, without the full-size picture in between.
Image fromLibRaw(const LibRaw& raw, int width, int height) {
    const LibRawPicture picture(raw);
    if (width == picture.width && height == picture.height) return fromLibRaw(raw);
    return Imaging::lanczosResize(
        picture.width, picture.height,
        [&picture](int row, Pixel* scratch) {
            picture.fill(row, scratch);
            return static_cast<const Pixel*>(scratch);
        },
        width, height);
}

// nothing with `opened` false when LibRaw does not take the file at all.
std::optional<Decoded> decodeRaw(const std::filesystem::path& file, const Look& look, int longEdge, bool& opened) {
    opened = false;
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    try {
        if (raw->open_file(file.c_str()) != LIBRAW_SUCCESS) return std::nullopt;
        opened = true;
        const auto& sizes = raw->imgdata.sizes;
        const int nativeWidth = (sizes.flip & 4) ? sizes.height : sizes.width;
        const int nativeHeight = (sizes.flip & 4) ? sizes.width : sizes.height;
        if (nativeWidth <= 0 || nativeHeight <= 0) return std::nullopt;
        const double scale = rawScaleFactor(longEdge, std::max(nativeWidth, nativeHeight));

        auto& params = raw->imgdata.params;
        params.half_size = scale <= 0.5;
        params.use_camera_wb = 1;
        params.no_auto_bright = 1;
        params.gamm[0] = params.gamm[1] = 1.0;
        params.output_bps = 16;
        params.output_color = 0;  // camera colour out; the sRGB matrix is applied in floats
        params.highlight = 0;
        params.user_qual = 3;     // AHD when a full-size demosaic is needed

        Decoded decoded;
        decoded.extended = true;
        decoded.detailScale = scale;
        if (const auto camera = cameraColour(raw->imgdata.color, raw->imgdata.idata.colors)) {
            const WhiteBalance::Neutral shot = asShot(*camera);
            decoded.cameraTemperature = shot.temperature;
            decoded.cameraTint = shot.tint;
            const double t = offsetOf(look.temperature), u = offsetOf(look.tint);
            if (t != 0 || u != 0) {
                WhiteBalance::Neutral wanted = shot;
                if (t != 0) wanted.temperature = std::clamp(t + shot.temperature, minimumTemperature, maximumTemperature);
                if (u != 0) wanted.tint = std::clamp(u * tintScale + shot.tint, -tintLimit, tintLimit);
                const auto mul = multipliersFor(*camera, wanted);
                std::copy(mul.begin(), mul.end(), params.user_mul);
                params.use_camera_wb = 0;
            }
        }

        if (raw->unpack() != LIBRAW_SUCCESS) return std::nullopt;
        if (raw->dcraw_process() != LIBRAW_SUCCESS) return std::nullopt;
        if (!raw->imgdata.image || raw->imgdata.sizes.iwidth <= 0 || raw->imgdata.sizes.iheight <= 0) return std::nullopt;
        if (scale < 1) {
            const int width = std::max(1, int(std::lround(nativeWidth * scale)));
            const int height = std::max(1, int(std::lround(nativeHeight * scale)));
            decoded.image = fromLibRaw(*raw, width, height);
        } else {
            decoded.image = fromLibRaw(*raw);
        }
        return decoded;
    } catch (...) {
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- rendered files

std::optional<Imaging::Bitmap> loadRendered(const std::filesystem::path& file) {
    if (const auto source = Extraction::open(file)) {
        if (auto bitmap = Extraction::preview(*source, 1 << 16, true, true)) return bitmap;
    }
    // JPEG files the photo library does not take are decoded here as they are
    // stored (orientation is the library's business).
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return std::nullopt;
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    tjhandle decoder = tjInitDecompress();
    if (!decoder) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    std::optional<Imaging::Bitmap> out;
    if (!bytes.empty() &&
        tjDecompressHeader3(decoder, bytes.data(), bytes.size(), &width, &height, &subsampling, &colourspace) == 0 &&
        width > 0 && height > 0 && std::size_t(width) * std::size_t(height) <= (std::size_t(1) << 28)) {
        Imaging::Bitmap bitmap(width, height, 3);
        if (tjDecompress2(decoder, bytes.data(), bytes.size(), bitmap.pixels.data(), width, 0, height, TJPF_RGB,
                          TJFLAG_ACCURATEDCT) == 0)
            out = std::move(bitmap);
    }
    tjDestroy(decoder);
    return out;
}

// ---------------------------------------------------------------- the cache

std::mutex decodeLock;
std::unordered_map<DecodeKey, Decoded, DecodeKeyHash> decodeCache;
std::deque<DecodeKey> decodeOrder;

DecodeKey keyFor(const std::filesystem::path& file, const Look& look, int longEdge) {
    return {file.string(), longEdge, offsetOf(look.temperature), offsetOf(look.tint)};
}

}  // namespace

std::size_t DecodeKeyHash::operator()(const DecodeKey& key) const {
    std::size_t h = std::hash<std::string>{}(key.path);
    const auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2); };
    mix(std::hash<int>{}(key.longEdge));
    mix(std::hash<double>{}(key.temperature));
    mix(std::hash<double>{}(key.tint));
    return h;
}

double rawScaleFactor(int longEdge, int nativeLongSide) {
    if (longEdge <= 0 || nativeLongSide <= 0) return 1;
    const double s = double(longEdge) / nativeLongSide;
    if (s >= 1) return 1;
    return double(std::nextafter(float(s), 0.0f));
}

std::optional<Decoded> decode(const std::filesystem::path& file, const Look& look, int longEdge) {
    if (isRenderedName(file)) return decodeRendered(file, look, longEdge);
    bool opened = false;
    auto decoded = decodeRaw(file, look, longEdge, opened);
    if (!opened) return decodeRendered(file, look, longEdge);
    return decoded;
}

std::optional<Decoded> decodeRendered(const std::filesystem::path& file, const Look& look, int longEdge) {
    const auto bitmap = loadRendered(file);
    if (!bitmap || bitmap->empty()) return std::nullopt;
    Image image = Imaging::sRGBToLinear(Imaging::fromBitmap(*bitmap));

    double d = 1;
    const int longSide = std::max(image.width(), image.height());
    if (longEdge > 0 && longSide > 0) {
        d = double(longEdge) / longSide;
        if (d < 1) {
            d = double(std::nextafter(float(d), 0.0f));
            image = Imaging::lanczosScale(image, d);
        } else {
            d = 1;
        }
    }

    const double t = offsetOf(look.temperature), u = offsetOf(look.tint);
    if (t != 0 || u != 0) {
        image = WhiteBalance::temperatureAndTint(
            image, {6500, 0},
            {std::clamp(6500 - t, minimumTemperature, maximumTemperature), std::clamp(-tintScale * u, -tintLimit, tintLimit)});
    }
    Decoded decoded;
    decoded.image = std::move(image);
    decoded.detailScale = d;
    return decoded;
}

std::optional<Decoded> materialised(const Decoded& decoded) {
    if (decoded.image.empty()) return std::nullopt;
    Decoded out = decoded;
    // Images are evaluated eagerly; materialising only makes sure the record
    // owns one compact block of pixels that no other image shares.
    cv::Mat pixels = Imaging::pooledMat();
    decoded.image.mat().copyTo(pixels);
    out.image = Image(std::move(pixels), decoded.image.extent().x, decoded.image.extent().y);
    return out;
}

std::optional<Decoded> decodeForEditing(const std::filesystem::path& file, const Look& look, int longEdge) {
    const DecodeKey key = keyFor(file, look, longEdge);
    {
        std::lock_guard lock(decodeLock);
        if (const auto it = decodeCache.find(key); it != decodeCache.end()) return it->second;
    }
    const auto decoded = decode(file, look, longEdge);
    if (!decoded) return std::nullopt;
    // A fresh decode owns its pixels already; no second copy is needed.
    const Decoded& kept = *decoded;
    {
        std::lock_guard lock(decodeLock);
        decodeCache.insert_or_assign(key, kept);
        decodeOrder.push_back(key);
        while (decodeOrder.size() >= 3) {
            decodeCache.erase(decodeOrder.front());
            decodeOrder.pop_front();
        }
    }
    return kept;
}

std::optional<Decoded> liveDecode(const std::filesystem::path& file, const Look& look, int longEdge) {
    const double t = offsetOf(look.temperature), u = offsetOf(look.tint);
    if (t == 0 && u == 0) return decodeForEditing(file, look, longEdge);
    Look asShotLook = look;
    asShotLook.temperature.reset();
    asShotLook.tint.reset();
    const auto shot = decodeForEditing(file, asShotLook, longEdge);
    if (!shot) return decodeForEditing(file, look, longEdge);
    if (shot->extended && shot->cameraTemperature && shot->cameraTint) {
        const double c = *shot->cameraTemperature, k = *shot->cameraTint;
        Decoded out = *shot;
        out.image = WhiteBalance::temperatureAndTint(
            shot->image,
            {std::clamp(t + c, minimumTemperature, maximumTemperature), std::clamp(u * tintScale + k, -tintLimit, tintLimit)},
            {c, k});
        return out;
    }
    return decodeForEditing(file, look, longEdge);
}

std::size_t decodeCacheSize() {
    std::lock_guard lock(decodeLock);
    return decodeCache.size();
}

bool decodeCached(const DecodeKey& key) {
    std::lock_guard lock(decodeLock);
    return decodeCache.count(key) != 0;
}

}  // namespace Develop
