#include "engine/camera/colour_cube.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <locale>

#include <opencv2/core/utility.hpp>

namespace CameraProfile {

namespace {

double decodeSRGB(double x) {
    if (x <= 0.04045) return x / 12.92;
    if (x < 1) return std::pow((x + 0.055) / 1.055, 2.4);
    return 1;
}

double encodeSRGB(double v) { return v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }

double smoothstep(double t) {
    const double u = std::clamp(t, 0.0, 1.0);
    return u * u * (3 - 2 * u);
}

constexpr Matrix3 sRGBToXYZ{0.4124564, 0.3575761, 0.1804375, 0.2126729, 0.7151522,
                            0.072175,  0.0193339, 0.119192,  0.9503041};
constexpr Matrix3 bradfordD65ToD50{1.0478112, 0.0228866, -0.050127, 0.0295424, 0.9904844,
                                   -0.0170491, -0.0092345, 0.0150436, 0.7521316};
constexpr Matrix3 proPhotoToXYZ{0.7976749, 0.1351917, 0.0313534, 0.2880402, 0.7118741,
                                0.0000857, 0, 0, 0.82521};

struct KnownBridge {
    std::string_view camera;
    Matrix3 matrix;
};
constexpr KnownBridge bridges[] = {
    {"canoneosr6m2", {0.222228, 0.440415, -0.122012, -0.002154, 0.5045, 0.047989, -0.016131, 0.229022, 0.346483}},
};

// UTF-8 to code points and back; malformed bytes are dropped.
std::u32string decodeUTF8(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = s[i];
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || s.size() - i <= std::size_t(extra)) {
            ++i;
            continue;
        }
        char32_t cp = extra == 0 ? c : c & (0x3f >> extra);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            const unsigned char cc = s[i + k];
            if ((cc & 0xc0) != 0x80) ok = false;
            cp = cp << 6 | (cc & 0x3f);
        }
        i += ok ? extra + 1 : 1;
        if (ok) out.push_back(cp);
    }
    return out;
}

void appendUTF8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xc0 | cp >> 6));
        out.push_back(char(0x80 | (cp & 0x3f)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xe0 | cp >> 12));
        out.push_back(char(0x80 | (cp >> 6 & 0x3f)));
        out.push_back(char(0x80 | (cp & 0x3f)));
    } else {
        out.push_back(char(0xf0 | cp >> 18));
        out.push_back(char(0x80 | (cp >> 12 & 0x3f)));
        out.push_back(char(0x80 | (cp >> 6 & 0x3f)));
        out.push_back(char(0x80 | (cp & 0x3f)));
    }
}

// Unicode letter/digit classification and lower-casing through the C.UTF-8
// locale's wide-character tables; plain ASCII rules when that locale is missing.
struct Characters {
    std::locale locale;
    bool unicode = false;

    Characters() {
        try {
            locale = std::locale("C.UTF-8");
            unicode = true;
        } catch (const std::runtime_error&) {
            locale = std::locale::classic();
        }
    }
    bool isLetterOrDigit(char32_t c) const {
        if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        return unicode && std::use_facet<std::ctype<wchar_t>>(locale).is(std::ctype_base::alnum, wchar_t(c));
    }
    char32_t lower(char32_t c) const {
        if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
        return unicode ? char32_t(std::use_facet<std::ctype<wchar_t>>(locale).tolower(wchar_t(c))) : c;
    }
};

const Characters& characters() {
    static const Characters instance;
    return instance;
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// The chain of one grid point from its linear, already scaled input.
Triple evaluate(const CubeRecipe& recipe, bool useHueSat, bool useLook, Triple c) {
    const Skips& skips = recipe.skips;
    if (!skips.matrix) c = transform(recipe.bridge, c);
    for (double& v : c) v = std::max(v, 0.0) + 0.004;
    if (useHueSat) c = applyTable(recipe.dcp.hueSatTable, recipe.dcp.hueSatDims, recipe.dcp.hueSatEncoding, c);
    if (useLook) c = applyTable(recipe.dcp.lookTable, recipe.dcp.lookDims, recipe.dcp.lookEncoding, c);
    c = highlightRolloff(c);
    if (!skips.curve) c = applyToneCurve(recipe.dcp.toneCurve, c);
    if (!skips.matrix) c = transform(fromProPhoto(), c);
    for (double& v : c) v = encodeSRGB(std::clamp(v, 0.0, 1.0));
    return c;
}

}  // namespace

Matrix3 multiply(const Matrix3& a, const Matrix3& b) {
    Matrix3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            out[r * 3 + c] = a[r * 3] * b[c] + a[r * 3 + 1] * b[3 + c] + a[r * 3 + 2] * b[6 + c];
    return out;
}

Matrix3 inverse(const Matrix3& m) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    if (std::fabs(det) <= 1e-12) return m;
    const Matrix3 adjugate{A, -(b * i - c * h), b * f - c * e,
                           B, a * i - c * g,    -(a * f - c * d),
                           C, -(a * h - b * g), a * e - b * d};
    Matrix3 out{};
    for (int k = 0; k < 9; ++k) out[k] = adjugate[k] / det;
    return out;
}

Triple transform(const Matrix3& m, const Triple& v) {
    return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
            m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

const Matrix3& toProPhoto() {
    static const Matrix3 m = multiply(inverse(proPhotoToXYZ), multiply(bradfordD65ToD50, sRGBToXYZ));
    return m;
}

const Matrix3& fromProPhoto() {
    static const Matrix3 m = inverse(toProPhoto());
    return m;
}

std::string flatten(std::string_view name) {
    const Characters& chars = characters();
    std::string out;
    for (char32_t c : decodeUTF8(name)) {
        c = chars.lower(c);
        if (chars.isLetterOrDigit(c)) appendUTF8(out, c);
    }
    replaceAll(out, "markiv", "m4");
    replaceAll(out, "markiii", "m3");
    replaceAll(out, "markii", "m2");
    return out;
}

Bridge bridge(std::string_view cameraModel) {
    const std::string flat = flatten(cameraModel);
    const KnownBridge* chosen = nullptr;
    for (const auto& known : bridges)
        if (known.camera == flat) chosen = &known;
    if (!chosen)
        for (const auto& known : bridges)
            if (known.camera == standInCamera) chosen = &known;
    return {std::string(chosen->camera), chosen->matrix};
}

Skips parseSkips(std::string_view list) {
    Skips skips;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        if (item == "look") skips.look = true;
        if (item == "curve") skips.curve = true;
        if (item == "matrix") skips.matrix = true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return skips;
}

Skips skipsFromEnvironment() {
    const char* value = std::getenv("MERROW_DCP_SKIP");
    return value ? parseSkips(value) : Skips{};
}

double inputScale(const Matrix3& m, const Skips& skips) {
    if (skips.matrix) return 1;
    const double smallest = std::min({m[0] + m[1] + m[2], m[3] + m[4] + m[5], m[6] + m[7] + m[8]});
    return smallest > 0.01 ? 1 / smallest : 1;
}

double evaluateToneCurve(const std::vector<double>& curve, double c) {
    const std::size_t n = curve.size() / 2;
    if (n < 2) return c;
    c = std::isnan(c) ? 0.0 : std::clamp(c, 0.0, 1.0);
    std::size_t lo = 0, hi = n - 1;
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        if (c >= curve[2 * mid]) lo = mid;
        else hi = mid;
    }
    const double x0 = curve[2 * lo], y0 = curve[2 * lo + 1], x1 = curve[2 * hi], y1 = curve[2 * hi + 1];
    return x0 < x1 ? y0 + (c - x0) * (y1 - y0) / (x1 - x0) : y0;
}

Triple applyToneCurve(const std::vector<double>& curve, const Triple& rgb) {
    Triple c;
    for (int k = 0; k < 3; ++k) c[k] = std::clamp(rgb[k], 0.0, 1.0);
    int hi = 0, lo = 0;
    for (int k = 1; k < 3; ++k) {
        if (c[k] > c[hi]) hi = k;
        if (c[k] < c[lo]) lo = k;
    }
    if (hi == lo) lo = (hi + 1) % 3;  // all equal: any distinct roles do
    const int mid = 3 - hi - lo;
    const double hiOut = evaluateToneCurve(curve, c[hi]);
    const double loOut = evaluateToneCurve(curve, c[lo]);
    const double span = c[hi] - c[lo];
    Triple out;
    out[hi] = hiOut;
    out[lo] = loOut;
    out[mid] = span > 1e-9 ? loOut + (c[mid] - c[lo]) * (hiOut - loOut) / span : hiOut;
    return out;
}

Triple applyTable(const std::vector<float>& table, const TableDims& dims, std::uint32_t encoding, const Triple& rgb) {
    const long hueDiv = dims.hue, satDiv = dims.sat, valDiv = dims.val;
    if (hueDiv <= 0 || satDiv < 2 || table.empty()) return rgb;
    const auto [R, G, B] = rgb;

    // HSV
    const double V = std::max({R, G, B}), least = std::min({R, G, B}), d = V - least;
    double H = 0;
    if (d > 1e-9) {
        if (R == V) {
            H = 60 * (G - B) / d;
            if (H < 0) H += 360;
        } else if (G == V) {
            H = 60 * ((B - R) / d + 2);
        } else {
            H = 60 * ((R - G) / d + 4);
        }
    }
    const double S = V > 0 ? d / V : 0;
    const bool srgb = encoding == 1;
    const double v = srgb ? encodeSRGB(std::clamp(V, 0.0, 1.0)) : V;

    // Table coordinates
    const double hf = H / 360 * double(hueDiv);
    const double sf = std::clamp(S, 0.0, 1.0) * double(satDiv - 1);
    const double vf = valDiv < 2 ? 0 : std::clamp(v, 0.0, 1.0) * double(valDiv - 1);
    const long hFloor = long(std::floor(hf));
    const long h0 = std::min(hFloor, hueDiv - 1);
    const long h1 = hFloor < hueDiv - 1 ? hFloor + 1 : 0;
    const long s0 = std::min(long(std::floor(sf)), satDiv - 2), s1 = s0 + 1;
    const long v0 = valDiv < 2 ? 0 : std::min(long(std::floor(vf)), valDiv - 2);
    const long v1 = valDiv < 2 ? 0 : v0 + 1;
    const double fh = hf - double(hFloor), fs = sf - double(s0), fv = vf - double(v0);

    // Dimensions come from the file: the position is computed wide enough
    // that no product of them can wrap around into the table.
    auto entry = [&](long vi, long hi, long si) -> Triple {
        using Wide = unsigned __int128;
        const Wide at = ((Wide(vi) * Wide(hueDiv) + Wide(hi)) * Wide(satDiv) + Wide(si)) * 3;
        if (at + 2 >= table.size()) return {0, 1, 1};
        const std::size_t i = std::size_t(at);
        return {table[i], table[i + 1], table[i + 2]};
    };
    auto mix = [](const Triple& a, const Triple& b, double t) {
        return Triple{a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t, a[2] + (b[2] - a[2]) * t};
    };
    auto plane = [&](long vi) {
        const Triple lowSat = mix(entry(vi, h0, s0), entry(vi, h1, s0), fh);
        const Triple highSat = mix(entry(vi, h0, s1), entry(vi, h1, s1), fh);
        return mix(lowSat, highSat, fs);
    };
    const Triple q = valDiv > 1 ? mix(plane(v0), plane(v1), fv) : plane(v0);
    const double hueShift = q[0], satScale = q[1];
    double valScale = q[2];

    // Bright blues and violets keep most of their brightness.
    const double a = smoothstep((H - 180) / 20), b = smoothstep((H - 255) / 20);
    const double c = smoothstep((std::clamp(v, 0.0, 1.0) - 0.45) / (0.85 - 0.45));
    valScale += 0.7 * a * (1 - b) * c * (1 - valScale);

    const double S2 = std::clamp(S * satScale, 0.0, 1.0);
    const double vScaled = std::max(v * valScale, 0.0);
    double V2;
    if (!srgb) {
        V2 = v <= 1 ? std::min(vScaled, 1.0) : V * valScale;
    } else {
        const double decodedNew = decodeSRGB(std::min(vScaled, 1.0));
        const double decodedOld = std::clamp(V, 0.0, 1.0);  // v decoded again: its encoding undone
        V2 = decodedOld > 1e-9 ? V * decodedNew / decodedOld : decodedNew;
    }
    if (S2 <= 1e-9) return {V2, V2, V2};

    double H2 = std::fmod(H + hueShift, 360.0);
    if (H2 < 0) H2 += 360;
    const double sector = std::floor(H2 / 60), f = H2 / 60 - sector;
    const double p = (1 - S2) * V2, qv = (1 - S2 * f) * V2, t = (1 - S2 * (1 - f)) * V2;
    switch (int(sector)) {
        case 0: return {V2, t, p};
        case 1: return {qv, V2, p};
        case 2: return {p, V2, t};
        case 3: return {p, qv, V2};
        case 4: return {t, p, V2};
        default: return {V2, p, qv};
    }
}

Triple highlightRolloff(const Triple& rgb) {
    const double M = std::max({rgb[0], rgb[1], rgb[2]});
    if (M <= 0.8) return rgb;
    const double Y = 0.2880402 * rgb[0] + 0.7118741 * rgb[1] + 0.0000857 * rgb[2];
    const double target = Y < 0 ? 0 : std::min(Y, 1.0);
    if (M - target <= 1e-9) return rgb;
    const double w = 1 - 0.8;
    const double knee = 0.8 + w * (1 - std::exp(-(M - 0.8) / w));
    if (M <= knee) return rgb;
    const double t = std::min((M - knee) / (M - target), 1.0);
    Triple out = rgb;
    for (double& c : out) c += (target - c) * t;
    return out;
}

Triple gridPoint(const CubeRecipe& recipe, const Triple& encoded) {
    const double s = inputScale(recipe.bridge, recipe.skips);
    Triple linear;
    for (int k = 0; k < 3; ++k) linear[k] = decodeSRGB(encoded[k]) * s;
    return evaluate(recipe, !recipe.dcp.hueSatTable.empty(),
                    !recipe.dcp.lookTable.empty() && !recipe.skips.look, linear);
}

std::vector<float> buildCube(const CubeRecipe& recipe, int dimension) {
    if (dimension < 2) return {};
    const std::size_t n = std::size_t(dimension);
    const double s = inputScale(recipe.bridge, recipe.skips);
    std::vector<double> axis(n);
    for (std::size_t i = 0; i < n; ++i) axis[i] = decodeSRGB(double(i) / double(dimension - 1)) * s;
    const bool useHueSat = !recipe.dcp.hueSatTable.empty();
    const bool useLook = !recipe.dcp.lookTable.empty() && !recipe.skips.look;

    std::vector<float> cube(n * n * n * 4);
    cv::parallel_for_(cv::Range(0, int(n * n)), [&](const cv::Range& range) {
        for (int slice = range.start; slice < range.end; ++slice) {
            const std::size_t b = std::size_t(slice) / n, g = std::size_t(slice) % n;
            float* out = cube.data() + (b * n + g) * n * 4;
            for (std::size_t r = 0; r < n; ++r, out += 4) {
                const Triple c = evaluate(recipe, useHueSat, useLook, {axis[r], axis[g], axis[b]});
                out[0] = float(c[0]);
                out[1] = float(c[1]);
                out[2] = float(c[2]);
                out[3] = 1;
            }
        }
    });
    return cube;
}

}  // namespace CameraProfile
