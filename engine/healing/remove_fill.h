#pragma once
// Remove strokes: the area under the stroke is replaced by new content from
// an inpainting source, matched to the surrounding colour and grain and
// blended in through the same feathered difference rasters as area heal.
//
// Two sources, tried in this order:
// - a patch folder (environment "MERROW_REMOVE_PATCHES"): a stroke with a
//   `fill` identifier uses identifier + ".png" when an outside producer has
//   written it, and otherwise leaves a request there (identifier +
//   ".mask.png", then identifier + ".in.png", the latter marking a complete
//   request);
// - an ONNX inpainting model (environment "MERROW_REMOVE_MODEL") run with
//   OpenCV's DNN module on a 512×512 square around the stroke: inputs "image"
//   1×3×512×512 (planar RGB / 255) and "mask" 1×1×512×512 (0 or 1), output
//   "output" 1×3×512×512 (planar RGB in 0…1 or 0…255).
// With neither, the stroke leaves the picture as it is.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/healing/area_heal.h"

namespace RemoveFill {

inline constexpr int side = 512;  // side of the model's input and output square
// The largest answer read from the patch folder (requests are at most 1024):
// a larger file is no answer, so that an outside file cannot exhaust memory.
inline constexpr int maximumPatchSide = 8192;

struct Failure : std::runtime_error {
    explicit Failure(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

// The settings, read from the environment every time; empty when unset.
std::string modelPath();
std::string patchesDir();

// A loaded model; `forward` runs it under the model's own lock.
class Model {
public:
    explicit Model(const std::string& path);  // throws when the file does not load
    ~Model();
    // The "output" for the two inputs. Throws Failure("The Remove model gave no
    // picture") when the model has no such output or it is empty; errors of the
    // runtime are thrown as they are.
    cv::Mat forward(const cv::Mat& image, const cv::Mat& mask);

private:
    struct Network;  // the DNN module's network
    std::unique_ptr<Network> net_;
    std::mutex lock_;  // a network is not safe to run from several threads
};

// The cached model for the current modelPath(), or nothing (no path, or a file that does not load).
std::shared_ptr<Model> model();

// RGB triples (0…255) row by row.
using RGB = std::vector<std::array<double, 3>>;

// The square a patch request covers.
AreaHeal::Box cloudSquare(const AreaHeal::Box& box, int W, int H);

// A square picture (16 ≤ side ≤ maximumPatchSide) as 8-bit RGB values, or nothing.
std::optional<std::pair<RGB, int>> readPatch(const std::string& path);

// A (2·radius + 1)² maximum filter, indices clamped; radius ≤ 0 returns the mask.
std::vector<std::uint8_t> dilate(std::vector<std::uint8_t> mask, int w, int h, int radius);

// Writes 8-bit rows as PNG (1 channel: grey; 4: sRGB-tagged RGB with the
// fourth byte skipped) to path + ".part-" + process id, then moves it into
// place. True when the file is in place.
bool writePNG(const std::uint8_t* bytes, int w, int h, int channels, const std::string& path);

// The model's 512×512 output planes as RGB triples row by row (float64,
// float16, otherwise float32); values all at or below 1.5 are scaled by 255.
RGB readRGB(const cv::Mat& output);

// The fill (side × side, covering `square`) matched and blended into the stroke.
std::optional<AreaHeal::Delta> composite(const AreaHeal::Stroke& area, const AreaHeal::Box& box,
                                         const AreaHeal::Box& square, const RGB& filled, int fillSide,
                                         const Imaging::Image& image, int W, int H);

// The repair of one "remove" stroke whose box is `box`, or nothing.
std::optional<AreaHeal::Delta> fill(const AreaHeal::Stroke& area, const AreaHeal::Box& box, const Imaging::Image& image,
                                    int W, int H);
// The same applied to the picture.
std::optional<Imaging::Image> one(const AreaHeal::Stroke& area, const AreaHeal::Box& box, const Imaging::Image& image,
                                  int W, int H);

}  // namespace RemoveFill
