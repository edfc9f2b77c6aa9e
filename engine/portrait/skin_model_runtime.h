#pragma once
// The C interface through which the face skin model runs, exported by the
// gelatin executable with C linkage (found with dlsym(RTLD_DEFAULT, ...)):
//
//   MWSkinCreate(modelPath, error, errorSize)
//     a session for the model file, or null with a NUL-terminated message in
//     the error buffer (truncated to its size);
//   MWSkinPredict(session, input, inputCount, output, outputCount, error, errorSize)
//     fills the 256 x 256 x 6 logits from the 256 x 256 x 3 input; false with
//     a message in the error buffer;
//   MWSkinDestroy(session).
//
// No model runtime is built in: MWSkinCreate always fails with
// notBuiltInMessage, MWSkinPredict returns false without touching the
// buffers and MWSkinDestroy does nothing.

#include <cstddef>

extern "C" {

void* MWSkinCreate(const char* modelPath, char* error, std::size_t errorSize);
bool MWSkinPredict(void* session, const float* input, std::size_t inputCount, float* output, std::size_t outputCount,
                   char* error, std::size_t errorSize);
void MWSkinDestroy(void* session);

}  // extern "C"

namespace SkinModelRuntime {

inline constexpr const char* notBuiltInMessage = "Skin model not built in. Run npm run setup:skin and rebuild.";

}  // namespace SkinModelRuntime
