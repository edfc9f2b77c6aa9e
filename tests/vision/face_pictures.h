#pragma once
// Helpers shared by the face tests: decoded sample pictures, the detector's
// model, and environment changes undone at the end of a test.

#include <cstdlib>
#include <optional>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/bitmap.h"
#include "engine/vision/model.h"
#include "support/support.h"

namespace FacePictures {

// An RGB bitmap of a BGR OpenCV picture.
inline Imaging::Bitmap bitmap(const cv::Mat& bgr) {
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    Imaging::Bitmap out(rgb.cols, rgb.rows, 3);
    for (int y = 0; y < rgb.rows; ++y) std::copy_n(rgb.ptr(y), out.stride(), out.row(y));
    return out;
}

// A shared sample picture, upright (its orientation tag applied).
inline cv::Mat load(const std::string& relative) { return cv::imread(TestSupport::fixture(relative).string()); }

// Sets (or with nothing, removes) an environment variable until the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value) ::setenv(name_.c_str(), value->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace FacePictures

// Skips the current test when the face detection model has not been fetched.
#define REQUIRE_FACE_MODEL()                                                             \
    do {                                                                                 \
        if (!::FaceModel::locate())                                                      \
            GTEST_SKIP() << "face detection model is not available (scripts/fetch-blazeface)"; \
    } while (0)
