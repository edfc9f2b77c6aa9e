#pragma once
// White balance in kelvin and tint, as camera RAW converters express it.
//
// A white point (temperature, tint) is a chromaticity: the temperature picks a
// point on the Planckian locus and the tint moves along that temperature's
// isotemperature line in CIE 1960 uv (one tint unit = 1/3000 uv, positive
// towards magenta). The conversion both ways uses Robertson's method over the
// isotemperature lines tabulated by Wyszecki & Stiles.

#include <array>
#include <optional>
#include <vector>

#include "engine/imaging/image.h"

namespace WhiteBalance {

struct Chromaticity {
    double x = 0, y = 0;
};

struct Neutral {
    double temperature = 6500;  // kelvin
    double tint = 0;
};

using Matrix3 = std::array<std::array<double, 3>, 3>;
using Vector3 = std::array<double, 3>;

// Linear sRGB → XYZ (D65 white).
inline constexpr Matrix3 linearSRGBToXYZ{
    {{0.4124564, 0.3575761, 0.1804375}, {0.2126729, 0.7151522, 0.0721750}, {0.0193339, 0.1191920, 0.9503041}}};

Neutral neutralOf(Chromaticity xy);
Chromaticity chromaticityOf(Neutral neutral);
// XYZ of a chromaticity with Y = 1.
Vector3 xyzOf(Chromaticity xy);
Chromaticity chromaticityOfXYZ(const Vector3& xyz);

Matrix3 inverse(const Matrix3& m);
Vector3 times(const Matrix3& m, const Vector3& v);
Matrix3 times(const Matrix3& a, const Matrix3& b);

// The linear-sRGB matrix that adapts colours seen under `neutral` to how they
// look under `target` (von Kries scaling of Bradford cone responses): white
// lit by `neutral` becomes the colour of `target` light.
Matrix3 adaptation(Neutral neutral, Neutral target);

// Bradford adaptation in XYZ: colours seen under white `from` as they look
// under white `to`.
Matrix3 bradfordAdaptation(Chromaticity from, Chromaticity to);

// A camera's colour as a DNG file describes it. Camera values are linear
// sensor values (black 0, white level 1); the camera's response to XYZ under
// a light of temperature T is AnalogBalance × CameraCalibration(T) ×
// ColorMatrix(T) × XYZ, the matrices interpolated by inverse temperature
// between the calibration illuminants. Cameras described by one XYZ → camera
// matrix (LibRaw's table for non-DNG files) have one illuminant, D65.
struct CameraColour {
    struct Calibration {
        double temperature = 6504;                // of the calibration illuminant, kelvin
        Matrix3 colourMatrix{};                   // XYZ → reference camera
        Matrix3 calibration{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};  // reference → this camera
        std::optional<Matrix3> forwardMatrix;     // white-balanced reference camera → XYZ (D50)
    };
    std::vector<Calibration> illuminants;         // one or two
    Vector3 analogBalance{1, 1, 1};
    Vector3 asShotNeutral{1, 1, 1};               // the camera's values for the as-shot white
};

// Temperature of an EXIF light source code (the calibration illuminants of a
// DNG file); nothing for unknown codes.
std::optional<double> illuminantTemperature(int lightSource);

// XYZ → camera for a white of `temperature` kelvin.
Matrix3 xyzToCamera(const CameraColour& camera, double temperature);
// The white whose light gives the camera values `cameraNeutral`, found by
// iterating the temperature the matrices are interpolated for.
Chromaticity whiteOf(const CameraColour& camera, const Vector3& cameraNeutral);
// The camera's values for light of chromaticity `white`, largest = 1.
Vector3 cameraNeutralOf(const CameraColour& camera, Chromaticity white);
// The white of `wanted` where the camera can develop for it: a white beyond
// the spectral locus (Robertson's lines run past it at large tints and low
// temperatures) or one the camera hardly sees in some channel (below 2 % of
// its largest) is pulled back along its isotemperature line toward `fromTint`
// until it is neither.
Chromaticity reachableWhite(const CameraColour& camera, Neutral wanted, double fromTint);
// Camera values → linear sRGB with `white` as the scene's white: the camera's
// neutral for that white (largest value 1) becomes (1, 1, 1), other colours go
// through XYZ (the forward matrix where the camera has one) adapted from
// `white` to D65.
Matrix3 cameraToLinearSRGB(const CameraColour& camera, Chromaticity white);

// Applies `adaptation(neutral, target)` to a linear sRGB picture.
Imaging::Image temperatureAndTint(const Imaging::Image& image, Neutral neutral, Neutral target);

}  // namespace WhiteBalance
