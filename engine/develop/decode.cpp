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
#include "engine/imaging/colour_spaces.h"
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

bool positive(const float* v, int n) {
    for (int i = 0; i < n; ++i)
        if (!(v[i] > 0) || !std::isfinite(v[i])) return false;
    return true;
}

template <int Columns>
std::optional<WhiteBalance::Matrix3> matrixOf(const float (*m)[Columns]) {
    WhiteBalance::Matrix3 out{};
    double sum = 0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            if (!std::isfinite(m[r][c])) return std::nullopt;
            out[std::size_t(r)][std::size_t(c)] = m[r][c];
            sum += std::fabs(m[r][c]);
        }
    if (!(sum > 0)) return std::nullopt;
    return out;
}

// The camera's colour as LibRaw read it: a DNG file's own tags (both colour
// matrices with their illuminants, camera calibration, analog balance,
// forward matrices, as-shot neutral); else LibRaw's XYZ → camera matrix for
// the model, taken as a D65 calibration; else, for cameras LibRaw has no XYZ
// matrix for, its camera → sRGB matrix read back as one.
//
// `picked` is the neutral to take as shot when the camera recorded none
// (LibRaw marks files whose camera balanced automatically without saying how
// with a first multiplier of -1).
std::optional<WhiteBalance::CameraColour> cameraColour(const libraw_colordata_t& colour, int colours, bool dng,
                                                       const std::optional<WhiteBalance::Vector3>& picked) {
    if (colours != 3) return std::nullopt;
    WhiteBalance::CameraColour camera;
    if (dng) {
        for (const auto& tags : colour.dng_color) {
            const auto matrix = matrixOf<3>(tags.colormatrix);
            if (!matrix) continue;
            WhiteBalance::CameraColour::Calibration calibration;
            calibration.colourMatrix = *matrix;
            calibration.temperature = WhiteBalance::illuminantTemperature(tags.illuminant).value_or(5003);
            if (const auto cc = matrixOf<4>(tags.calibration)) calibration.calibration = *cc;
            calibration.forwardMatrix = matrixOf<4>(tags.forwardmatrix);
            camera.illuminants.push_back(calibration);
        }
        std::sort(camera.illuminants.begin(), camera.illuminants.end(),
                  [](const auto& a, const auto& b) { return a.temperature < b.temperature; });
        if (camera.illuminants.size() == 2 && camera.illuminants[0].temperature == camera.illuminants[1].temperature)
            camera.illuminants.pop_back();
        const auto& levels = colour.dng_levels;
        if (!camera.illuminants.empty() && positive(levels.analogbalance, 3))
            for (int c = 0; c < 3; ++c) camera.analogBalance[std::size_t(c)] = levels.analogbalance[c];
    }
    if (camera.illuminants.empty()) {
        WhiteBalance::CameraColour::Calibration calibration;
        calibration.temperature = 6504;
        if (const auto matrix = matrixOf<3>(colour.cam_xyz)) {
            calibration.colourMatrix = *matrix;
        } else if (const auto toSRGB = matrixOf<4>(colour.rgb_cam)) {
            // rgb_cam works on camera values balanced for daylight with pre_mul.
            WhiteBalance::Matrix3 daylight{};
            for (int c = 0; c < 3; ++c)
                daylight[std::size_t(c)][std::size_t(c)] =
                    positive(colour.pre_mul, 3) ? double(colour.pre_mul[c]) / colour.pre_mul[1] : 1.0;
            calibration.colourMatrix = WhiteBalance::inverse(
                WhiteBalance::times(WhiteBalance::linearSRGBToXYZ, WhiteBalance::times(*toSRGB, daylight)));
        } else {
            return std::nullopt;
        }
        camera.illuminants.push_back(calibration);
    }
    // As shot: the DNG's neutral, else the camera's multipliers, else the
    // picked neutral, else its daylight multipliers, else D65.
    const auto& levels = colour.dng_levels;
    if (dng && positive(levels.asshotneutral, 3)) {
        for (int c = 0; c < 3; ++c) camera.asShotNeutral[std::size_t(c)] = double(levels.asshotneutral[c]) / levels.asshotneutral[1];
    } else if (colour.cam_mul[0] == -1 && picked) {
        camera.asShotNeutral = *picked;
    } else if (positive(colour.cam_mul, 3)) {
        for (int c = 0; c < 3; ++c) camera.asShotNeutral[std::size_t(c)] = double(colour.cam_mul[1]) / colour.cam_mul[c];
    } else if (positive(colour.pre_mul, 3)) {
        for (int c = 0; c < 3; ++c) camera.asShotNeutral[std::size_t(c)] = double(colour.pre_mul[1]) / colour.pre_mul[c];
    } else {
        camera.asShotNeutral = WhiteBalance::cameraNeutralOf(camera, {0.3127, 0.3290});
    }
    return camera;
}

// The average colour of the unpacked sensor data (green = 1) over 8 × 8
// blocks with no sample near clipping: the grey-world balance a camera's
// automatic white balance stands for when it recorded no multipliers.
std::optional<WhiteBalance::Vector3> greyWorldNeutral(LibRaw& raw) {
    const auto& data = raw.imgdata.rawdata;
    const auto& sizes = raw.imgdata.sizes;
    if (!data.raw_image || raw.imgdata.idata.colors != 3 || sizes.raw_pitch < 2u * sizes.raw_width) return std::nullopt;
    const auto& colour = raw.imgdata.color;
    const double clip = double(colour.maximum) - 25;
    double sum[3]{}, count[3]{};
    for (int top = 0; top + 8 <= sizes.height; top += 8)
        for (int left = 0; left + 8 <= sizes.width; left += 8) {
            double blockSum[3]{}, blockCount[3]{};
            bool clipped = false;
            for (int row = top; row < top + 8 && !clipped; ++row) {
                const ushort* line = data.raw_image + std::size_t(row + sizes.top_margin) * (sizes.raw_pitch / 2) + sizes.left_margin;
                for (int col = left; col < left + 8; ++col) {
                    const int filter = raw.COLOR(row, col);  // 3: the second green
                    if (filter < 0 || filter > 3) return std::nullopt;
                    const int c = filter == 3 ? 1 : filter;
                    const double v = double(line[col]) - colour.black - colour.cblack[filter];
                    if (line[col] > clip) {
                        clipped = true;
                        break;
                    }
                    blockSum[c] += std::max(0.0, v);
                    blockCount[c] += 1;
                }
            }
            if (clipped) continue;
            for (int c = 0; c < 3; ++c) sum[c] += blockSum[c], count[c] += blockCount[c];
        }
    if (!(sum[0] > 0 && sum[1] > 0 && sum[2] > 0)) return std::nullopt;
    const double green = sum[1] / count[1];
    return WhiteBalance::Vector3{sum[0] / count[0] / green, 1.0, sum[2] / count[2] / green};
}

// How the decoder develops a RAW file's colour: LibRaw balances the camera
// values for the as-shot light (`shotNeutral`, the camera's values for it),
// and the matrix takes its balanced 16-bit output to linear sRGB for the
// white the look asks for (sensor white of the as-shot neutral at 2.0, a stop
// above diffuse white). A look's white balance thus changes only the matrix,
// in floating point: a white far from the as-shot one cannot push a channel
// into LibRaw's integer clipping, and the live preview's correction of the
// as-shot decode comes out alike.
struct RawColour {
    std::array<float, 4> multipliers{1, 1, 1, 1};
    float toSRGB[3][3]{};
};

RawColour rawColour(const WhiteBalance::CameraColour& camera, const WhiteBalance::Vector3& shotNeutral,
                    WhiteBalance::Chromaticity white) {
    const WhiteBalance::Matrix3 m = WhiteBalance::cameraToLinearSRGB(camera, white);
    const double top = std::max({shotNeutral[0], shotNeutral[1], shotNeutral[2]});
    RawColour out;
    for (int c = 0; c < 3; ++c) out.multipliers[std::size_t(c)] = float(top / shotNeutral[std::size_t(c)]);
    out.multipliers[3] = out.multipliers[1];
    // LibRaw scales so that the smallest multiplier is 1 and full scale is 65535:
    // its value v of channel c is the camera value v / 65535 × shotNeutral[c] / top.
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            out.toSRGB[r][c] = float(m[std::size_t(r)][std::size_t(c)] * shotNeutral[std::size_t(c)] / top * 2.0 / 65535.0);
    return out;
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

    LibRawPicture(const LibRaw& decoded, const float (&toSRGB)[3][3]) : raw(decoded) {
        const auto& sizes = raw.imgdata.sizes;
        const bool swap = sizes.flip & 4;
        width = swap ? sizes.iheight : sizes.iwidth;
        height = swap ? sizes.iwidth : sizes.iheight;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) m[r][c] = toSRGB[r][c];
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

Image fromLibRaw(const LibRaw& raw, const float (&toSRGB)[3][3]) {
    const LibRawPicture picture(raw, toSRGB);
    Image out(Imaging::Rect{0, 0, picture.width, picture.height});
    Imaging::forRows(picture.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) picture.fill(row, out.mutableMat().ptr<Pixel>(row));
    });
    return out;
}

// The same scaled to width × height, without the full-size picture in between.
Image fromLibRaw(const LibRaw& raw, const float (&toSRGB)[3][3], int width, int height) {
    const LibRawPicture picture(raw, toSRGB);
    if (width == picture.width && height == picture.height) return fromLibRaw(raw, toSRGB);
    return Imaging::lanczosResize(
        picture.width, picture.height,
        [&picture](int row, Pixel* scratch) {
            picture.fill(row, scratch);
            return static_cast<const Pixel*>(scratch);
        },
        width, height);
}

// nothing with `opened` false when LibRaw does not take the file at all.
std::optional<Decoded> decodeRaw(const std::filesystem::path& file, const Look& look, int longEdge, int sampleEdge,
                                 bool& opened) {
    opened = false;
    // LibRaw's own reports of damaged data and failed allocations would go to
    // standard error; a failed decode is reported by its result alone.
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
        params.adjust_maximum_thr = 0;  // the file's white level, whatever the picture holds

        Decoded decoded;
        decoded.extended = true;
        decoded.detailScale = scale;
        if (raw->unpack() != LIBRAW_SUCCESS) return std::nullopt;
        // Without a camera description LibRaw's own as-shot balance and matrix stay.
        std::optional<RawColour> colour;
        const auto& colourData = raw->imgdata.color;
        const auto picked = colourData.cam_mul[0] == -1 ? greyWorldNeutral(*raw) : std::nullopt;
        if (const auto camera = cameraColour(colourData, raw->imgdata.idata.colors, raw->imgdata.idata.dng_version != 0, picked)) {
            const WhiteBalance::Chromaticity shotWhite = WhiteBalance::whiteOf(*camera, camera->asShotNeutral);
            const WhiteBalance::Neutral shot = WhiteBalance::neutralOf(shotWhite);
            const WhiteBalance::Vector3& neutral = camera->asShotNeutral;
            WhiteBalance::Chromaticity white = shotWhite;
            const double t = offsetOf(look.temperature), u = offsetOf(look.tint);
            if (t != 0 || u != 0) {
                WhiteBalance::Neutral wanted = shot;
                if (t != 0) wanted.temperature = std::clamp(t + shot.temperature, minimumTemperature, maximumTemperature);
                if (u != 0) wanted.tint = std::clamp(u * tintScale + shot.tint, -tintLimit, tintLimit);
                white = WhiteBalance::reachableWhite(*camera, wanted, shot.tint);
            }
            const RawColour candidate = rawColour(*camera, neutral, white);
            bool usable = std::isfinite(shot.temperature) && std::isfinite(shot.tint);
            for (int c = 0; c < 3; ++c) usable = usable && std::isfinite(neutral[std::size_t(c)]) && neutral[std::size_t(c)] > 0;
            for (const auto& row : candidate.toSRGB)
                for (float v : row) usable = usable && std::isfinite(v);
            if (usable) {
                colour = candidate;
                decoded.cameraTemperature = shot.temperature;
                decoded.cameraTint = shot.tint;
                std::copy(candidate.multipliers.begin(), candidate.multipliers.end(), params.user_mul);
                params.use_camera_wb = 0;
            }
        }

        if (raw->dcraw_process() != LIBRAW_SUCCESS) return std::nullopt;
        if (!raw->imgdata.image || raw->imgdata.sizes.iwidth <= 0 || raw->imgdata.sizes.iheight <= 0) return std::nullopt;
        if (!colour) {
            colour.emplace();
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) colour->toSRGB[r][c] = raw->imgdata.color.rgb_cam[r][c] * (2.0f / 65535.0f);
        }
        const auto picture = [&](double s) {
            if (s >= 1) return fromLibRaw(*raw, colour->toSRGB);
            const int width = std::max(1, int(std::lround(nativeWidth * s)));
            const int height = std::max(1, int(std::lround(nativeHeight * s)));
            return fromLibRaw(*raw, colour->toSRGB, width, height);
        };
        decoded.image = picture(scale);
        // The sample: only the size differs from a decode of its own (the
        // white balance is the file's, and both decodes are half-size).
        const bool asShot = offsetOf(look.temperature) == 0 && offsetOf(look.tint) == 0;
        if (sampleEdge > 0 && asShot && params.half_size) {
            const double sampleScale = rawScaleFactor(sampleEdge, std::max(nativeWidth, nativeHeight));
            if (sampleScale <= 0.5) decoded.sample = picture(sampleScale);
        }
        return decoded;
    } catch (...) {
        return std::nullopt;
    }
}

// ---------------------------------------------------------------- rendered files

// The pixels of a rendered file and the profile of their colour space (empty
// for sRGB).
std::optional<Imaging::Bitmap> loadRendered(const std::filesystem::path& file, std::vector<std::uint8_t>& profile) {
    if (const auto source = Extraction::open(file)) {
        if (auto bitmap = Extraction::preview(*source, 1 << 16, true, true)) {
            profile = Extraction::colourProfile(*source);
            return bitmap;
        }
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

std::optional<Decoded> decode(const std::filesystem::path& file, const Look& look, int longEdge, int sampleEdge) {
    if (isRenderedName(file)) return decodeRendered(file, look, longEdge);
    bool opened = false;
    auto decoded = decodeRaw(file, look, longEdge, sampleEdge, opened);
    if (!opened) return decodeRendered(file, look, longEdge);
    return decoded;
}

std::optional<Decoded> decodeRendered(const std::filesystem::path& file, const Look& look, int longEdge) {
    std::vector<std::uint8_t> profile;
    const auto bitmap = loadRendered(file, profile);
    if (!bitmap || bitmap->empty()) return std::nullopt;
    // From the file's own colour space into the working space in one pass.
    Image image = ColourSpaces::linearFromBitmap(*bitmap, profile);

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

std::optional<Decoded> decodeForEditing(const std::filesystem::path& file, const Look& look, int longEdge, int sampleEdge) {
    const DecodeKey key = keyFor(file, look, longEdge);
    {
        std::lock_guard lock(decodeLock);
        if (const auto it = decodeCache.find(key); it != decodeCache.end()) return it->second;
    }
    const auto decoded = decode(file, look, longEdge, sampleEdge);
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

std::optional<Decoded> liveDecode(const std::filesystem::path& file, const Look& look, int longEdge, int sampleEdge) {
    const double t = offsetOf(look.temperature), u = offsetOf(look.tint);
    if (t == 0 && u == 0) return decodeForEditing(file, look, longEdge, sampleEdge);
    Look asShotLook = look;
    asShotLook.temperature.reset();
    asShotLook.tint.reset();
    const auto shot = decodeForEditing(file, asShotLook, longEdge, sampleEdge);
    if (!shot) return decodeForEditing(file, look, longEdge, sampleEdge);
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
