#include "engine/portrait/skin_segmentation.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <system_error>

#include <opencv2/imgproc.hpp>

#include "engine/portrait/skin_model_runtime.h"

namespace SkinSegmentation {

namespace fs = std::filesystem;

namespace {

// The interface as the executable exports it; a program that does not export
// its symbols (a test program) uses the functions it links.
Runtime exported() {
    Runtime r;
    r.create = reinterpret_cast<decltype(r.create)>(::dlsym(RTLD_DEFAULT, "MWSkinCreate"));
    r.predict = reinterpret_cast<decltype(r.predict)>(::dlsym(RTLD_DEFAULT, "MWSkinPredict"));
    r.destroy = reinterpret_cast<decltype(r.destroy)>(::dlsym(RTLD_DEFAULT, "MWSkinDestroy"));
    if (!r.create || !r.predict || !r.destroy) r = {&MWSkinCreate, &MWSkinPredict, &MWSkinDestroy};
    return r;
}

// Held for every prediction and around the session's creation.
std::mutex lock;
void* session = nullptr;
std::optional<Runtime> testRuntime;

Runtime runtime() { return testRuntime ? *testRuntime : exported(); }

std::string text(const std::array<char, 512>& buffer) {
    return std::string(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
}

}  // namespace

fs::path modelPath() {
    if (const char* assets = std::getenv(assetsVariable); assets && *assets) return fs::path(assets) / modelFileName;
    std::error_code ec;
    const fs::path exe = fs::canonical("/proc/self/exe", ec);
    return (ec ? fs::path() : exe.parent_path()) / "skin-assets" / modelFileName;
}

std::vector<float> inputFrom(const Imaging::Bitmap& picture) {
    if (picture.empty() || (picture.channels != 1 && picture.channels != 3 && picture.channels != 4) ||
        picture.pixels.size() < picture.stride() * std::size_t(picture.height))
        throw Failure("Could not prepare skin model input");
    const int type = picture.channels == 1 ? CV_8UC1 : picture.channels == 3 ? CV_8UC3 : CV_8UC4;
    const cv::Mat view(picture.height, picture.width, type, const_cast<std::uint8_t*>(picture.pixels.data()),
                       picture.stride());
    cv::Mat rgb = view;
    if (picture.channels != 3) cv::cvtColor(view, rgb, picture.channels == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_RGBA2RGB);
    cv::Mat small;
    const bool shrinking = picture.width >= side && picture.height >= side;
    cv::resize(rgb, small, cv::Size(side, side), 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_CUBIC);
    std::vector<float> input(std::size_t(side) * side * 3);
    for (int y = 0; y < side; ++y) {
        const std::uint8_t* row = small.ptr<std::uint8_t>(y);
        for (int i = 0; i < side * 3; ++i) input[std::size_t(y) * side * 3 + i] = (float(row[i]) - 127.5f) / 127.5f;
    }
    return input;
}

std::vector<float> predict(const Imaging::Bitmap& picture) {
    const std::vector<float> input = inputFrom(picture);
    std::vector<float> output(std::size_t(side) * side * channels, 0.0f);
    std::array<char, 512> error{};
    std::lock_guard guard(lock);
    const Runtime r = runtime();
    if (!session) session = r.create(modelPath().string().c_str(), error.data(), error.size());
    if (!session) throw Failure(text(error));
    if (!r.predict(session, input.data(), input.size(), output.data(), output.size(), error.data(), error.size()))
        throw Failure(text(error));
    for (const float v : output)
        if (!std::isfinite(v)) throw Failure("Skin model returned invalid logits");
    for (std::size_t p = 0; p < output.size(); p += channels) {
        float* logits = output.data() + p;
        const float top = *std::max_element(logits, logits + channels);
        float sum = 0;
        for (int c = 0; c < channels; ++c) sum += logits[c] = std::exp(logits[c] - top);
        for (int c = 0; c < channels; ++c) logits[c] /= sum;
    }
    return output;
}

bool ready() {
    std::array<char, 512> error{};
    std::lock_guard guard(lock);
    if (!session) session = runtime().create(modelPath().string().c_str(), error.data(), error.size());
    return session != nullptr;
}

void useRuntimeForTesting(const Runtime* r) {
    std::lock_guard guard(lock);
    testRuntime = r ? std::optional<Runtime>(*r) : std::nullopt;
    session = nullptr;
}

}  // namespace SkinSegmentation
