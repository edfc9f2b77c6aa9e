#include "engine/portrait/face_skin_model.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "engine/portrait/skin_segmentation.h"

namespace FaceSkinModel {

Imaging::Rect cropFor(const Vision::Rect& b, int width, int height) {
    const double side = 2.1 * std::max(b.width * width, b.height * height);
    const double cx = (b.x + b.width / 2) * width, cy = height * (b.y + b.height / 2 + 0.12 * b.height);
    const double x0 = std::floor(cx - side / 2), y0 = std::floor(cy - side / 2);
    const double x1 = std::ceil(cx + side / 2), y1 = std::ceil(cy + side / 2);
    const auto clampInt = [](double v) { return int(std::clamp(v, -1e9, 1e9)); };
    const Imaging::Rect square{clampInt(x0), clampInt(y0), clampInt(x1 - x0), clampInt(y1 - y0)};
    return square.intersection({0, 0, width, height});
}

std::optional<cv::Mat> mask(const Imaging::Image& image, const std::vector<Vision::FaceObservation>& faces) {
    if (faces.empty() || image.empty()) return std::nullopt;
    // Without a model no crop needs rendering.
    if (!SkinSegmentation::ready()) return std::nullopt;
    const int W = image.width(), H = image.height();
    cv::Mat accumulator = cv::Mat::zeros(H, W, CV_32F);
    for (const auto& face : faces) {
        const Imaging::Rect crop = cropFor(face.boundingBox, W, H);
        if (crop.width < minimumCrop || crop.height < minimumCrop) return std::nullopt;
        std::vector<float> probabilities;
        try {
            probabilities = SkinSegmentation::predict(Imaging::renderRGBA8(Imaging::crop(image, crop)));
        } catch (const SkinSegmentation::Failure&) {
            return std::nullopt;
        }
        constexpr int side = SkinSegmentation::side;
        cv::Mat grey(side, side, CV_8U);
        for (int i = 0; i < side * side; ++i)
            grey.data[i] = std::uint8_t(std::lround(std::clamp(
                255.0f * probabilities[std::size_t(i) * SkinSegmentation::channels + SkinSegmentation::faceSkinClass],
                0.0f, 255.0f)));
        cv::Mat scaled;
        cv::resize(grey, scaled, cv::Size(crop.width, crop.height), 0, 0, cv::INTER_LINEAR);
        scaled.convertTo(scaled, CV_32F, 1.0 / 255.0);
        const double sigma = std::max(0.6 * crop.width / side, 0.5);
        cv::GaussianBlur(scaled, scaled, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE);
        // The crop in stored rows (top-down).
        const cv::Rect rows(crop.x, H - crop.y - crop.height, crop.width, crop.height);
        cv::Mat target = accumulator(rows);
        cv::max(target, scaled, target);
    }
    return accumulator;
}

}  // namespace FaceSkinModel
