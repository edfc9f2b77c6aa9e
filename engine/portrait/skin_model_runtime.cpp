#include "engine/portrait/skin_model_runtime.h"

#include <algorithm>
#include <cstring>

extern "C" {

__attribute__((visibility("default"))) void* MWSkinCreate(const char*, char* error, std::size_t errorSize) {
    if (error && errorSize > 0) {
        const std::size_t n = std::min(std::strlen(SkinModelRuntime::notBuiltInMessage), errorSize - 1);
        std::memcpy(error, SkinModelRuntime::notBuiltInMessage, n);
        error[n] = '\0';
    }
    return nullptr;
}

__attribute__((visibility("default"))) bool MWSkinPredict(void*, const float*, std::size_t, float*, std::size_t, char*,
                                                          std::size_t) {
    return false;
}

__attribute__((visibility("default"))) void MWSkinDestroy(void*) {}

}  // extern "C"
