#pragma once
// White balance in kelvin and tint, as camera RAW converters express it.
//
// A white point (temperature, tint) is a chromaticity: the temperature picks a
// point on the Planckian locus and the tint moves along that temperature's
// isotemperature line in CIE 1960 uv (one tint unit = 1/3000 uv, positive
// towards magenta). The conversion both ways uses Robertson's method over the
// isotemperature lines tabulated by Wyszecki & Stiles.

#include <array>

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

// Applies `adaptation(neutral, target)` to a linear sRGB picture.
Imaging::Image temperatureAndTint(const Imaging::Image& image, Neutral neutral, Neutral target);

}  // namespace WhiteBalance
