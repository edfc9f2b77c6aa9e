#pragma once
// Crop and straighten of the developed picture.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Crop {

// The picture straightened and cropped by `frame`; the input unchanged when
// the frame is absent, inactive or leaves less than a pixel. A cropped
// picture's extent starts at (0, 0).
// An unrotated crop shares the input's pixels.
Imaging::Image apply(const std::optional<Frame>& frame, const Imaging::Image& image);

// Whether `apply` turns the picture (and so resamples it) for this frame.
bool rotates(const std::optional<Frame>& frame);

}  // namespace Crop
