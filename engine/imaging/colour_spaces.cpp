#include "engine/imaging/colour_spaces.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace ColourSpaces {

namespace {

using Imaging::Pixel;

struct ProfileCloser {
    void operator()(void* profile) const {
        if (profile) cmsCloseProfile(profile);
    }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

Profile openProfile(const Bytes& icc) {
    if (icc.empty() || icc.size() > 0xFFFFFFFFu) return nullptr;
    return Profile(cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())));
}

constexpr cmsCIExyY d65{0.3127, 0.3290, 1.0};
constexpr cmsCIExyYTRIPLE sRGBPrimaries{{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};

// sRGB's primaries with straight (linear) tone curves: the working space.
Profile linearSRGB() {
    cmsToneCurve* straight = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {straight, straight, straight};
    Profile profile(cmsCreateRGBProfile(&d65, &sRGBPrimaries, curves));
    cmsFreeToneCurve(straight);
    return profile;
}

using Matrix = std::array<double, 9>;  // row-major 3×3

// Columns: the profile's red, green and blue colorants (PCS XYZ, D50).
std::optional<Matrix> colorants(void* profile) {
    const auto* r = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, cmsSigRedColorantTag));
    const auto* g = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, cmsSigGreenColorantTag));
    const auto* b = static_cast<const cmsCIEXYZ*>(cmsReadTag(profile, cmsSigBlueColorantTag));
    if (!r || !g || !b) return std::nullopt;
    return Matrix{r->X, g->X, b->X, r->Y, g->Y, b->Y, r->Z, g->Z, b->Z};
}

std::optional<Matrix> inverse(const Matrix& m) {
    const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                       m[2] * (m[3] * m[7] - m[4] * m[6]);
    if (!std::isfinite(det) || std::fabs(det) < 1e-9) return std::nullopt;
    return Matrix{(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det, (m[1] * m[5] - m[2] * m[4]) / det,
                  (m[5] * m[6] - m[3] * m[8]) / det, (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
                  (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det, (m[0] * m[4] - m[1] * m[3]) / det};
}

Matrix product(const Matrix& a, const Matrix& b) {
    Matrix out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) out[3 * i + j] += a[3 * i + k] * b[3 * k + j];
    return out;
}

struct TransformDeleter {
    void operator()(void* transform) const {
        if (transform) cmsDeleteTransform(transform);
    }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

// Everything the engine needs to know about one profile.
struct Conversion {
    bool usable = false;  // an RGB profile the library converts from and to
    bool sRGB = false;
    // Profiles made of three tone curves and a matrix (nearly all photo
    // profiles) convert 8-bit values through per-channel tables and one 3×3
    // matrix: exactly what the library computes, far cheaper.
    bool separable = false;
    std::array<std::array<float, 256>, 3> curves{};
    std::array<float, 9> toLinear{};
    // Float transforms, unbounded: the profile's values to linear sRGB (for
    // profiles that are not separable), linear sRGB and sRGB-encoded values
    // to the profile's.
    Transform decode, fromLinear, fromEncoded;
};

// One 8-bit pixel of a separable profile in linear sRGB: each value through
// its channel's curve, then the matrix.
inline Pixel throughCurvesAndMatrix(const Conversion& c, const std::uint8_t* rgb) {
    const float r = c.curves[0][rgb[0]], g = c.curves[1][rgb[1]], b = c.curves[2][rgb[2]];
    const auto& m = c.toLinear;
    return {m[0] * r + m[1] * g + m[2] * b, m[3] * r + m[4] * g + m[5] * b, m[6] * r + m[7] * g + m[8] * b, 1.0f};
}

constexpr cmsUInt32Number floatFlags = cmsFLAGS_NOCACHE;

Transform floatTransform(void* from, cmsUInt32Number inFormat, void* to, cmsUInt32Number outFormat) {
    if (!from || !to) return nullptr;
    return Transform(cmsCreateTransform(from, inFormat, to, outFormat, INTENT_RELATIVE_COLORIMETRIC, floatFlags));
}

bool hasTableTags(void* profile) {
    for (cmsTagSignature tag : {cmsSigAToB0Tag, cmsSigAToB1Tag, cmsSigDToB0Tag, cmsSigDToB1Tag})
        if (cmsIsTag(profile, tag)) return true;
    return false;
}

std::shared_ptr<const Conversion> build(const Bytes& icc) {
    auto conversion = std::make_shared<Conversion>();
    Profile profile = openProfile(icc);
    if (!profile || cmsGetColorSpace(profile.get()) != cmsSigRgbData) return conversion;
    Profile linear = linearSRGB();
    Profile encoded(cmsCreate_sRGBProfile());
    conversion->decode = floatTransform(profile.get(), TYPE_RGB_FLT, linear.get(), TYPE_RGB_FLT);
    conversion->fromLinear = floatTransform(linear.get(), TYPE_RGBA_FLT, profile.get(), TYPE_RGBA_FLT);
    conversion->fromEncoded = floatTransform(encoded.get(), TYPE_RGBA_FLT, profile.get(), TYPE_RGBA_FLT);
    conversion->usable = conversion->decode && conversion->fromLinear && conversion->fromEncoded;
    if (!conversion->usable) return conversion;

    if (cmsIsMatrixShaper(profile.get()) && !hasTableTags(profile.get())) {
        const auto source = colorants(profile.get());
        const auto working = colorants(linear.get());
        const auto workingInverse = working ? inverse(*working) : std::nullopt;
        const cmsTagSignature trcs[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
        bool curvesRead = true;
        for (int c = 0; c < 3; ++c) {
            const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile.get(), trcs[c]));
            if (!curve) {
                curvesRead = false;
                break;
            }
            for (int v = 0; v < 256; ++v) conversion->curves[c][v] = cmsEvalToneCurveFloat(curve, float(v) / 255.0f);
        }
        if (source && workingInverse && curvesRead) {
            const Matrix m = product(*workingInverse, *source);
            for (int k = 0; k < 9; ++k) conversion->toLinear[k] = float(m[k]);
            conversion->separable = true;
            // sRGB when the matrix is the identity and the curves are sRGB's,
            // each well within an 8-bit step.
            bool same = true;
            for (int k = 0; k < 9 && same; ++k) same = std::fabs(m[k] - (k % 4 == 0 ? 1.0 : 0.0)) < 0.003;
            for (int c = 0; c < 3 && same; ++c)
                for (int v = 0; v < 256 && same; ++v)
                    same = std::fabs(conversion->curves[c][v] - Imaging::sRGBDecode(float(v) / 255.0f)) < 0.0005f;
            conversion->sRGB = same;
        }
    }
    return conversion;
}

std::shared_ptr<const Conversion> conversionFor(const Bytes& icc) {
    static std::mutex lock;
    static std::unordered_map<std::string, std::shared_ptr<const Conversion>> cache;
    constexpr std::size_t maxEntries = 64;
    std::string key(icc.begin(), icc.end());
    {
        std::lock_guard guard(lock);
        if (auto found = cache.find(key); found != cache.end()) return found->second;
    }
    auto conversion = build(icc);
    std::lock_guard guard(lock);
    if (cache.size() >= maxEntries) cache.clear();
    cache.emplace(std::move(key), conversion);
    return conversion;
}

// The profile's bytes with a fixed creation date, so that the same profile
// gives the same bytes whenever it is made.
Bytes saved(void* profile) {
    cmsUInt32Number size = 0;
    if (!profile || !cmsSaveProfileToMem(profile, nullptr, &size) || size < 128) return {};
    Bytes bytes(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) return {};
    bytes.resize(size);
    const std::uint8_t date[12] = {0x07, 0xE8, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0};  // 2024-01-01 00:00:00
    std::memcpy(bytes.data() + 24, date, sizeof date);
    return bytes;
}

}  // namespace

bool isSRGB(const Bytes& icc) { return icc.empty() || conversionFor(icc)->sRGB; }

bool isUsableRGB(const Bytes& icc) { return !icc.empty() && conversionFor(icc)->usable; }

Imaging::Image linearFromBitmap(const Imaging::Bitmap& bitmap, const Bytes& icc) {
    std::shared_ptr<const Conversion> conversion;
    if (!icc.empty() && bitmap.channels == 3) conversion = conversionFor(icc);
    if (!conversion || !conversion->usable || conversion->sRGB)
        return Imaging::sRGBToLinear(Imaging::fromBitmap(bitmap));

    Imaging::Image out(Imaging::Rect{0, 0, bitmap.width, bitmap.height});
    const Conversion& c = *conversion;
    Imaging::forRows(bitmap.height, [&](int begin, int end) {
        std::vector<float> rgb(c.separable ? 0 : std::size_t(bitmap.width) * 3);
        for (int row = begin; row < end; ++row) {
            const std::uint8_t* in = bitmap.row(row);
            Pixel* o = out.mutableMat().ptr<Pixel>(row);
            if (c.separable) {
                for (int col = 0; col < bitmap.width; ++col, in += 3) o[col] = throughCurvesAndMatrix(c, in);
            } else {
                for (std::size_t k = 0; k < rgb.size(); ++k) rgb[k] = in[k] / 255.0f;
                cmsDoTransform(c.decode.get(), rgb.data(), rgb.data(), cmsUInt32Number(bitmap.width));
                for (int col = 0; col < bitmap.width; ++col)
                    o[col] = {rgb[3 * col], rgb[3 * col + 1], rgb[3 * col + 2], 1.0f};
            }
        }
    });
    return out;
}

Encoder::Encoder(const Bytes& icc, bool linear) {
    if (icc.empty()) return;
    auto conversion = conversionFor(icc);
    if (!conversion->usable) return;
    transform_ = linear ? conversion->fromLinear.get() : conversion->fromEncoded.get();
    keep_ = std::move(conversion);
}

void Encoder::encodeRow(const Imaging::Pixel* in, std::uint8_t* out, int count) const {
    if (!transform_ || count <= 0) return;
    std::vector<Pixel> row(in, in + count);
    cmsDoTransform(transform_, row.data(), row.data(), cmsUInt32Number(count));
    for (int k = 0; k < count; ++k, out += 4) {
        const float v[3] = {row[k].r, row[k].g, row[k].b};
        for (int c = 0; c < 3; ++c) {
            const float x = v[c] > 0 ? (v[c] < 1 ? v[c] : 1.0f) : 0.0f;  // NaN goes to 0
            out[c] = std::uint8_t(int(x * 255.0f + 0.5f));
        }
    }
}

Bytes rgbProfile(const Chromaticities& p, const ToneCurve& curve, const std::string& description) {
    const cmsCIExyY white{p.white[0], p.white[1], 1.0};
    const cmsCIExyYTRIPLE primaries{{p.red[0], p.red[1], 1.0}, {p.green[0], p.green[1], 1.0}, {p.blue[0], p.blue[1], 1.0}};
    cmsToneCurve* tone = nullptr;
    if (curve.a == 1 && curve.b == 0 && curve.d == 0) {
        tone = cmsBuildGamma(nullptr, curve.gamma);
    } else {
        const cmsFloat64Number parameters[5] = {curve.gamma, curve.a, curve.b, curve.c, curve.d};
        tone = cmsBuildParametricToneCurve(nullptr, 4, parameters);
    }
    if (!tone) return {};
    cmsToneCurve* curves[3] = {tone, tone, tone};
    Profile profile(cmsCreateRGBProfile(&white, &primaries, curves));
    cmsFreeToneCurve(tone);
    if (!profile) return {};
    cmsSetProfileVersion(profile.get(), 2.1);
    cmsMLU* text = cmsMLUalloc(nullptr, 1);
    cmsMLU* copyright = cmsMLUalloc(nullptr, 1);
    bool ok = text && copyright && cmsMLUsetASCII(text, "en", "US", description.c_str()) &&
              cmsMLUsetASCII(copyright, "en", "US", "No copyright, use freely") &&
              cmsWriteTag(profile.get(), cmsSigProfileDescriptionTag, text) &&
              cmsWriteTag(profile.get(), cmsSigCopyrightTag, copyright);
    if (text) cmsMLUfree(text);
    if (copyright) cmsMLUfree(copyright);
    return ok ? saved(profile.get()) : Bytes{};
}

const Bytes& adobeRGBProfile() {
    static const Bytes profile = rgbProfile({{0.64, 0.33}, {0.21, 0.71}, {0.15, 0.06}, {0.3127, 0.3290}},
                                            {563.0 / 256.0, 1, 0, 0, 0}, "Adobe RGB (1998) compatible");
    return profile;
}

}  // namespace ColourSpaces
