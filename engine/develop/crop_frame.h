#pragma once
// The crop and straightening settings of a look.

#include <cmath>
#include <optional>

namespace Crop {

struct Frame {
    double left = 0;    // edges as fractions of the width and height,
    double top = 0;     // measured from the left and from the top
    double right = 1;
    double bottom = 1;
    std::optional<double> angle;  // straightening in degrees

    // True when the frame changes the picture at all: an edge moved inwards
    // or a straightening angle that is not negligible.
    bool isActive() const {
        return left > 0.0001 || top > 0.0001 || right < 0.9999 || bottom < 0.9999 ||
               (angle && std::fabs(*angle) > 0.001);
    }

    bool operator==(const Frame&) const = default;
};

}  // namespace Crop
