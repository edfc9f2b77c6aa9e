#pragma once
// The maths that bakes a camera profile into a colour cube: profile tables,
// tone curve, highlight roll-off, the bridge matrix and the ProPhoto
// conversion, evaluated at every grid point of a 96 × 96 × 96 cube.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "engine/camera/dcp.h"

namespace CameraProfile {

// A colour as the cube maths carries it: three doubles, red, green, blue.
using Triple = std::array<double, 3>;
// A 3 × 3 matrix by rows.
using Matrix3 = std::array<double, 9>;

inline constexpr int cubeDimension = 96;

Matrix3 multiply(const Matrix3& a, const Matrix3& b);
// The inverse; a matrix whose determinant is 1e-12 or smaller in magnitude comes back unchanged.
Matrix3 inverse(const Matrix3& m);
Triple transform(const Matrix3& m, const Triple& v);

// Linear sRGB to linear ProPhoto RGB (through XYZ with Bradford D65 → D50), and back.
const Matrix3& toProPhoto();
const Matrix3& fromProPhoto();

// Camera model names reduced for comparison: lower case, letters and digits
// only, "markiv"/"markiii"/"markii" shortened to "m4"/"m3"/"m2".
std::string flatten(std::string_view name);

inline constexpr std::string_view standInCamera = "canoneosr6m2";

// The colour bridge of a camera: the matrix that takes linear sRGB into the
// camera's profile space. Cameras without one of their own get the stand-in's.
struct Bridge {
    std::string camera;
    Matrix3 matrix;
};
Bridge bridge(std::string_view cameraModel);

// Parts of a profile left out when a cube is built.
struct Skips {
    bool look = false;    // the look table
    bool curve = false;   // the tone curve
    bool matrix = false;  // the bridge matrix, the input scale and the ProPhoto conversion

    bool operator==(const Skips&) const = default;
};
// Reads a comma-separated list such as "matrix,,curve"; items match exactly.
Skips parseSkips(std::string_view list);
// The list in MERROW_DCP_SKIP, read now.
Skips skipsFromEnvironment();

// The input scale of a cube: 1 with the matrix skipped, else 1 / (smallest row
// sum of the bridge) when that sum exceeds 0.01, else 1.
double inputScale(const Matrix3& bridgeMatrix, const Skips& skips);

// The profile tone curve (alternating x, y) at c: linear between its points,
// input clamped to 0…1 (not-a-number counts as 0); fewer than two points pass c through.
double evaluateToneCurve(const std::vector<double>& curve, double c);
// The curve applied to the largest and smallest channel, the middle one
// placed proportionally between them so that the hue is kept.
Triple applyToneCurve(const std::vector<double>& curve, const Triple& rgb);

// One hue/saturation/value table applied to a colour (HSV interpolation,
// with bright blues and violets protected from darkening).
Triple applyTable(const std::vector<float>& table, const TableDims& dims, std::uint32_t encoding, const Triple& rgb);

// Pulls channels above 0.8 towards grey so that the brightest one rolls off smoothly.
Triple highlightRolloff(const Triple& rgb);

// Everything a cube is built from.
struct CubeRecipe {
    DCP dcp;
    Matrix3 bridge{};
    Skips skips;
};

// The cube's output at one grid point whose sRGB-encoded input channels are
// `encoded` (each 0…1).
Triple gridPoint(const CubeRecipe& recipe, const Triple& encoded);

// The whole cube: dimension³ entries of (R, G, B, 1), red fastest
// ((b × dimension + g) × dimension + r) × 4. Built on all cores.
std::vector<float> buildCube(const CubeRecipe& recipe, int dimension = cubeDimension);

}  // namespace CameraProfile
