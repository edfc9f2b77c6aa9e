#include "engine/develop/white_balance.h"

#include <algorithm>
#include <cmath>

namespace WhiteBalance {

namespace {

// Robertson's isotemperature lines: reciprocal megakelvin, u, v of the locus
// point, and the slope of the line (Wyszecki & Stiles, table 1(3.11)).
struct Isotherm {
    double mired, u, v, slope;
};

constexpr Isotherm isotherms[] = {
    {0, 0.18006, 0.26352, -0.24341},   {10, 0.18066, 0.26589, -0.25479},  {20, 0.18133, 0.26846, -0.26876},
    {30, 0.18208, 0.27119, -0.28539},  {40, 0.18293, 0.27407, -0.30470},  {50, 0.18388, 0.27709, -0.32675},
    {60, 0.18494, 0.28021, -0.35156},  {70, 0.18611, 0.28342, -0.37915},  {80, 0.18740, 0.28668, -0.40955},
    {90, 0.18880, 0.28997, -0.44278},  {100, 0.19032, 0.29326, -0.47888}, {125, 0.19462, 0.30141, -0.58204},
    {150, 0.19962, 0.30921, -0.70471}, {175, 0.20525, 0.31647, -0.84901}, {200, 0.21142, 0.32312, -1.0182},
    {225, 0.21807, 0.32909, -1.2168},  {250, 0.22511, 0.33439, -1.4512},  {275, 0.23247, 0.33904, -1.7298},
    {300, 0.24010, 0.34308, -2.0637},  {325, 0.24792, 0.34655, -2.4681},  {350, 0.25591, 0.34951, -2.9641},
    {375, 0.26400, 0.35200, -3.5814},  {400, 0.27218, 0.35407, -4.3633},  {425, 0.28039, 0.35577, -5.3762},
    {450, 0.28863, 0.35714, -6.7262},  {475, 0.29685, 0.35823, -8.5955},  {500, 0.30505, 0.35907, -11.324},
    {525, 0.31320, 0.35968, -15.628},  {550, 0.32129, 0.36011, -23.325},  {575, 0.32931, 0.36038, -40.770},
    {600, 0.33724, 0.36051, -116.45},
};
constexpr int lineCount = int(std::size(isotherms));
constexpr double tintScale = -3000.0;  // uv distance along the isotherm → tint units

// Unit direction of an isotherm (along increasing v for negative slopes).
void direction(double slope, double& du, double& dv) {
    const double length = std::sqrt(1 + slope * slope);
    du = 1 / length;
    dv = slope / length;
}

}  // namespace

Neutral neutralOf(Chromaticity xy) {
    const double denominator = 1.5 - xy.x + 6.0 * xy.y;
    const double u = 2.0 * xy.x / denominator;
    const double v = 3.0 * xy.y / denominator;

    Neutral result;
    double lastDistance = 0, lastDu = 0, lastDv = 0;
    for (int i = 1; i < lineCount; ++i) {
        double du, dv;
        direction(isotherms[i].slope, du, dv);
        const double uu = u - isotherms[i].u, vv = v - isotherms[i].v;
        double distance = -uu * dv + vv * du;  // signed distance from the isotherm
        if (distance <= 0 || i == lineCount - 1) {
            if (distance > 0) distance = 0;
            distance = -distance;
            const double f = i == 1 ? 0.0 : distance / (lastDistance + distance);
            result.temperature = 1.0e6 / (isotherms[i - 1].mired * f + isotherms[i].mired * (1 - f));
            const double lu = u - (isotherms[i - 1].u * f + isotherms[i].u * (1 - f));
            const double lv = v - (isotherms[i - 1].v * f + isotherms[i].v * (1 - f));
            double iu = du * (1 - f) + lastDu * f, iv = dv * (1 - f) + lastDv * f;
            const double length = std::hypot(iu, iv);
            iu /= length, iv /= length;
            result.tint = (lu * iu + lv * iv) * tintScale;
            break;
        }
        lastDistance = distance, lastDu = du, lastDv = dv;
    }
    return result;
}

Chromaticity chromaticityOf(Neutral neutral) {
    const double mired = 1.0e6 / neutral.temperature;
    const double offset = neutral.tint / tintScale;
    for (int i = 0; i < lineCount - 1; ++i) {
        if (mired < isotherms[i + 1].mired || i == lineCount - 2) {
            const double f = (isotherms[i + 1].mired - mired) / (isotherms[i + 1].mired - isotherms[i].mired);
            double u = isotherms[i].u * f + isotherms[i + 1].u * (1 - f);
            double v = isotherms[i].v * f + isotherms[i + 1].v * (1 - f);
            double u1, v1, u2, v2;
            direction(isotherms[i].slope, u1, v1);
            direction(isotherms[i + 1].slope, u2, v2);
            double u3 = u1 * f + u2 * (1 - f), v3 = v1 * f + v2 * (1 - f);
            const double length = std::hypot(u3, v3);
            u3 /= length, v3 /= length;
            u += u3 * offset;
            v += v3 * offset;
            return {1.5 * u / (u - 4.0 * v + 2.0), v / (u - 4.0 * v + 2.0)};
        }
    }
    return {0.3127, 0.3290};
}

Vector3 xyzOf(Chromaticity xy) { return {xy.x / xy.y, 1.0, (1 - xy.x - xy.y) / xy.y}; }

Chromaticity chromaticityOfXYZ(const Vector3& xyz) {
    const double sum = xyz[0] + xyz[1] + xyz[2];
    if (!(std::fabs(sum) > 1e-12)) return {0.3127, 0.3290};
    return {xyz[0] / sum, xyz[1] / sum};
}

Matrix3 inverse(const Matrix3& m) {
    const double a = m[0][0], b = m[0][1], c = m[0][2], d = m[1][0], e = m[1][1], f = m[1][2], g = m[2][0],
                 h = m[2][1], i = m[2][2];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    if (!(std::fabs(det) > 1e-15)) return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    return {{{(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det},
             {(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det},
             {(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det}}};
}

Vector3 times(const Matrix3& m, const Vector3& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

Matrix3 times(const Matrix3& a, const Matrix3& b) {
    Matrix3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) out[r][c] += a[r][k] * b[k][c];
    return out;
}

namespace {

const Matrix3 bradford{{{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
constexpr Chromaticity d50{0.3457, 0.3585};
constexpr Chromaticity d65{0.3127, 0.3290};

double largest(const Vector3& v) { return std::max({v[0], v[1], v[2]}); }

Matrix3 diagonal(const Vector3& v) { return {{{v[0], 0, 0}, {0, v[1], 0}, {0, 0, v[2]}}}; }

Matrix3 blend(const Matrix3& a, const Matrix3& b, double g) {
    Matrix3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = g * a[r][c] + (1 - g) * b[r][c];
    return out;
}

// Weight of the lower-temperature illuminant for a white of `temperature`:
// linear in inverse temperature between the two, held at the ends.
double lowerWeight(const CameraColour& camera, double temperature) {
    if (camera.illuminants.size() < 2) return 1;
    const double t1 = camera.illuminants[0].temperature, t2 = camera.illuminants[1].temperature;
    if (!(t1 < t2) || temperature <= t1) return 1;
    if (temperature >= t2) return 0;
    return (1 / temperature - 1 / t2) / (1 / t1 - 1 / t2);
}

Matrix3 interpolated(const CameraColour& camera, double temperature, Matrix3 CameraColour::Calibration::*field) {
    if (camera.illuminants.empty()) return diagonal({1, 1, 1});
    if (camera.illuminants.size() == 1) return camera.illuminants[0].*field;
    return blend(camera.illuminants[0].*field, camera.illuminants[1].*field, lowerWeight(camera, temperature));
}

std::optional<Matrix3> interpolatedForward(const CameraColour& camera, double temperature) {
    for (const auto& illuminant : camera.illuminants)
        if (!illuminant.forwardMatrix) return std::nullopt;
    if (camera.illuminants.empty()) return std::nullopt;
    if (camera.illuminants.size() == 1) return camera.illuminants[0].forwardMatrix;
    return blend(*camera.illuminants[0].forwardMatrix, *camera.illuminants[1].forwardMatrix,
                 lowerWeight(camera, temperature));
}

// AnalogBalance × CameraCalibration: reference camera → this camera.
Matrix3 referenceToCamera(const CameraColour& camera, double temperature) {
    return times(diagonal(camera.analogBalance), interpolated(camera, temperature, &CameraColour::Calibration::calibration));
}

}  // namespace

Matrix3 bradfordAdaptation(Chromaticity from, Chromaticity to) {
    const Vector3 a = times(bradford, xyzOf(from));
    const Vector3 b = times(bradford, xyzOf(to));
    Matrix3 gains{};
    for (int c = 0; c < 3; ++c) gains[c][c] = std::fabs(a[c]) > 1e-12 ? b[c] / a[c] : 1.0;
    return times(inverse(bradford), times(gains, bradford));
}

Matrix3 adaptation(Neutral neutral, Neutral target) {
    const Matrix3 inXYZ = bradfordAdaptation(chromaticityOf(neutral), chromaticityOf(target));
    return times(inverse(linearSRGBToXYZ), times(inXYZ, linearSRGBToXYZ));
}

std::optional<double> illuminantTemperature(int lightSource) {
    switch (lightSource) {
        case 17: return 2856;                   // standard light A
        case 3: return 2850;                    // tungsten
        case 24: return 3200;                   // ISO studio tungsten
        case 16: return 2940;                   // warm white fluorescent
        case 15: return 3450;                   // white fluorescent
        case 2: case 14: return 4150;           // (cool white) fluorescent
        case 18: return 4874;                   // standard light B
        case 13: return 5000;                   // day white fluorescent
        case 23: return 5003;                   // D50
        case 1: case 4: case 9: return 5500;    // daylight, flash, fine weather
        case 20: return 5503;                   // D55
        case 12: return 6430;                   // daylight fluorescent
        case 10: return 6500;                   // cloudy
        case 21: return 6504;                   // D65
        case 19: return 6774;                   // standard light C
        case 11: return 7500;                   // shade
        case 22: return 7504;                   // D75
        default: return std::nullopt;
    }
}

Matrix3 xyzToCamera(const CameraColour& camera, double temperature) {
    return times(referenceToCamera(camera, temperature),
                 interpolated(camera, temperature, &CameraColour::Calibration::colourMatrix));
}

Chromaticity whiteOf(const CameraColour& camera, const Vector3& cameraNeutral) {
    Chromaticity last = d50;
    constexpr int passes = 30;
    for (int pass = 0; pass < passes; ++pass) {
        const double temperature = neutralOf(last).temperature;
        Chromaticity next = chromaticityOfXYZ(times(inverse(xyzToCamera(camera, temperature)), cameraNeutral));
        if (std::fabs(next.x - last.x) + std::fabs(next.y - last.y) < 1e-7) return next;
        // Still moving after the last pass: most likely swinging between two
        // values; settle in the middle.
        if (pass == passes - 1) next = {(last.x + next.x) / 2, (last.y + next.y) / 2};
        last = next;
    }
    return last;
}

Vector3 cameraNeutralOf(const CameraColour& camera, Chromaticity white) {
    Vector3 neutral = times(xyzToCamera(camera, neutralOf(white).temperature), xyzOf(white));
    const double top = largest(neutral);
    for (double& v : neutral) v = top > 0 ? std::clamp(v / top, 0.001, 1.0) : 1.0;
    return neutral;
}

Chromaticity reachableWhite(const CameraColour& camera, Neutral wanted, double fromTint) {
    const auto reachable = [&camera](Chromaticity xy) {
        const Vector3 xyz = xyzOf(xy);
        if (!(xy.y > 0.05 && xyz[0] > 0.05 && xyz[2] > 0.05)) return false;
        const Vector3 neutral = times(xyzToCamera(camera, neutralOf(xy).temperature), xyz);
        const double top = largest(neutral);
        return top > 0 && std::min({neutral[0], neutral[1], neutral[2]}) >= 0.02 * top;
    };
    const Chromaticity asked = chromaticityOf(wanted);
    if (reachable(asked)) return asked;
    // Bisect between the tint the slider started from and the one asked for.
    double inside = 0, outside = 1;
    const auto at = [&](double f) { return chromaticityOf({wanted.temperature, fromTint + f * (wanted.tint - fromTint)}); };
    if (!reachable(at(0))) return at(0);
    for (int step = 0; step < 30; ++step) {
        const double middle = (inside + outside) / 2;
        (reachable(at(middle)) ? inside : outside) = middle;
    }
    return at(inside);
}

Matrix3 cameraToLinearSRGB(const CameraColour& camera, Chromaticity white) {
    const double temperature = neutralOf(white).temperature;
    const Vector3 neutral = cameraNeutralOf(camera, white);
    Matrix3 cameraToD50;
    if (const auto forward = interpolatedForward(camera, temperature)) {
        const Matrix3 toReference = inverse(referenceToCamera(camera, temperature));
        Vector3 referenceNeutral = times(toReference, neutral);
        for (double& v : referenceNeutral) v = std::fabs(v) > 1e-9 ? 1 / v : 1.0;
        cameraToD50 = times(*forward, times(diagonal(referenceNeutral), toReference));
    } else {
        cameraToD50 = inverse(times(xyzToCamera(camera, temperature), bradfordAdaptation(d50, white)));
    }
    Matrix3 out = times(inverse(linearSRGBToXYZ), times(bradfordAdaptation(d50, d65), cameraToD50));
    // The neutral lands on white exactly, also where the file's matrices are
    // rounded: each row is scaled so.
    const Vector3 grey = times(out, neutral);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out[r][c] = std::fabs(grey[r]) > 1e-9 ? out[r][c] / grey[r] : out[r][c];
    return out;
}

Imaging::Image temperatureAndTint(const Imaging::Image& image, Neutral neutral, Neutral target) {
    const Matrix3 m = adaptation(neutral, target);
    float k[9];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) k[r * 3 + c] = float(m[r][c]);
    return Imaging::map(image, [&k](const Imaging::Pixel& p) {
        return Imaging::Pixel{k[0] * p.r + k[1] * p.g + k[2] * p.b, k[3] * p.r + k[4] * p.g + k[5] * p.b,
                              k[6] * p.r + k[7] * p.g + k[8] * p.b, p.a};
    });
}

}  // namespace WhiteBalance
