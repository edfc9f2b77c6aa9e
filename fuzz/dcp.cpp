// Reading a DCP camera profile from arbitrary bytes (either byte order,
// hostile counts and offsets): a profile or nothing. A profile that reads is
// then applied to a few colours, as the colour cube does with it.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "engine/camera/colour_cube.h"
#include "engine/camera/dcp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto dcp = CameraProfile::DCP::parse(std::span<const std::uint8_t>(data, size));
    if (!dcp) return 0;
    CameraProfile::CubeRecipe recipe;
    recipe.dcp = std::move(*dcp);
    recipe.bridge = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (double r : {0.0, 0.3, 1.0})
        for (double g : {0.0, 0.6, 1.0})
            for (double b : {0.1, 0.9}) {
                const auto out = CameraProfile::gridPoint(recipe, {r, g, b});
                for (double v : out)
                    if (std::isnan(v)) return 0;  // a hostile table may hold NaN; it must not crash
            }
    return 0;
}
