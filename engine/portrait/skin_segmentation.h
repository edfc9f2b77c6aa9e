#pragma once
// The face skin model: a multi-class person segmentation network whose class
// 3 is face skin, run on a 256 x 256 picture through the C interface of
// engine/portrait/skin_model_runtime.h. `predict` prepares the input, runs the
// model under one process-wide lock and turns its logits into probabilities.
//
// As built, the runtime behind the interface has no model, so every
// prediction fails and callers use their colour test instead.

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "engine/imaging/bitmap.h"

namespace SkinSegmentation {

inline constexpr int side = 256;
inline constexpr int channels = 6;
inline constexpr int faceSkinClass = 3;
inline constexpr const char* modelFileName = "selfie_multiclass.tflite";
inline constexpr const char* assetsVariable = "MERROW_SKIN_ASSETS";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The three functions of the C interface.
struct Runtime {
    void* (*create)(const char* modelPath, char* error, std::size_t errorSize) = nullptr;
    bool (*predict)(void* session, const float* input, std::size_t inputCount, float* output, std::size_t outputCount,
                    char* error, std::size_t errorSize) = nullptr;
    void (*destroy)(void* session) = nullptr;
};

// The model file: MERROW_SKIN_ASSETS (a folder) when set, otherwise the
// folder "skin-assets" next to the running executable; then the file name.
std::filesystem::path modelPath();

// The model's input for an 8-bit grey, RGB or RGBA picture (rows top-down),
// stretched to 256 x 256: R, G, B of each pixel as (byte - 127.5) / 127.5.
// Throws Failure("Could not prepare skin model input") for an empty picture.
std::vector<float> inputFrom(const Imaging::Bitmap& picture);

// 256 x 256 x 6 class probabilities (rows top-down, classes of a pixel
// together). Creates the session on first use (and again on the next call
// after a creation failed). Throws Failure with the runtime's message, or
// "Skin model returned invalid logits" when a logit is not finite.
std::vector<float> predict(const Imaging::Bitmap& picture);

// Whether a session exists or can be created now (creating it when there is
// none): lets callers skip preparing input that no model would read.
bool ready();

// For tests only: the runtime used from now on (nothing: the exported C
// interface again). Forgets the current session without destroying it.
void useRuntimeForTesting(const Runtime* runtime);

}  // namespace SkinSegmentation
