#include "engine/vision/landmarks68.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <span>
#include <system_error>

#include <opencv2/imgproc.hpp>

#include "engine/vision/landmark_network.h"
#include "engine/vision/model_folders.h"

namespace FaceLandmarks {

namespace fs = std::filesystem;

std::vector<fs::path> searchList() {
    if (const char* named = std::getenv(environmentVariable); named && *named) return {fs::path(named)};
    return Vision::modelFolders();
}

std::optional<fs::path> locateModel() {
    for (const fs::path& folder : searchList()) {
        std::error_code ec;
        if (fs::is_regular_file(folder / manifestFileName, ec)) return folder;
    }
    return std::nullopt;
}

namespace {

// ---------------------------------------------------------------------------
// The loaded network, one per process. The lock guards only the pointer's
// lookup and store; loading runs outside it.

struct Loaded {
    fs::path folder;
    LandmarkNetwork::Weights weights;
};

std::mutex cacheLock;
std::shared_ptr<const Loaded> cached;

std::shared_ptr<const Loaded> network() {
    const auto folder = locateModel();
    if (!folder) throw Unavailable("Face landmark model is missing.");
    {
        std::lock_guard lock(cacheLock);
        if (cached && cached->folder == *folder) return cached;
    }
    auto loaded = std::make_shared<Loaded>();
    loaded->folder = *folder;
    try {
        loaded->weights = LandmarkNetwork::load(*folder / manifestFileName);
    } catch (const std::exception&) {
        throw Unavailable("Face landmark model could not be loaded.");
    }
    std::lock_guard lock(cacheLock);
    // Another thread may have loaded the same folder meanwhile; keep the first.
    if (cached && cached->folder == *folder) return cached;
    cached = loaded;
    return loaded;
}

// ---------------------------------------------------------------------------
// Pictures

cv::Mat view(const Imaging::Bitmap& picture) {
    const int type = picture.channels == 1 ? CV_8UC1 : picture.channels == 3 ? CV_8UC3 : CV_8UC4;
    return cv::Mat(picture.height, picture.width, type, const_cast<std::uint8_t*>(picture.pixels.data()),
                   picture.stride());
}

cv::Mat toRGB(const cv::Mat& m) {
    if (m.channels() == 3) return m;
    cv::Mat rgb;
    cv::cvtColor(m, rgb, m.channels() == 1 ? cv::COLOR_GRAY2RGB : cv::COLOR_RGBA2RGB);
    return rgb;
}

cv::Mat toGrey(const cv::Mat& m) {
    if (m.channels() == 1) return m;
    cv::Mat grey;
    cv::cvtColor(m, grey, m.channels() == 3 ? cv::COLOR_RGB2GRAY : cv::COLOR_RGBA2GRAY);
    return grey;
}

// The square the network sees, in picture pixels.
struct Square {
    int x = 0;
    int y = 0;
    int side = 1;
};

Square cropSquare(const Box& box) {
    const double side = std::max(1.0, std::round(cropScale * std::max(box.width, box.height)));
    const double cx = box.x + box.width / 2, cy = box.y + box.height / 2;
    return {int(std::floor(cx - side / 2 + 0.5)), int(std::floor(cy - side / 2 + 0.5)), int(side)};
}

// The 112 x 112 RGB network input of `square`; what lies outside the picture is black.
cv::Mat crop(const cv::Mat& picture, const Square& s) {
    cv::Mat square(s.side, s.side, picture.type(), cv::Scalar::all(0));
    const cv::Rect inside = cv::Rect(s.x, s.y, s.side, s.side) & cv::Rect(0, 0, picture.cols, picture.rows);
    if (!inside.empty()) picture(inside).copyTo(square(inside - cv::Point(s.x, s.y)));
    cv::Mat resized;
    const int size = LandmarkNetwork::inputSize;
    cv::resize(square, resized, cv::Size(size, size), 0, 0, s.side > size ? cv::INTER_AREA : cv::INTER_LINEAR);
    return toRGB(resized);
}

// ---------------------------------------------------------------------------
// Pupils

Vision::Point mean(std::span<const Vision::Point> points) {
    Vision::Point m;
    for (const auto& p : points) {
        m.x += p.x;
        m.y += p.y;
    }
    m.x /= double(points.size());
    m.y /= double(points.size());
    return m;
}

// The centre of the eye outline, or of the darkest small blob inside it (the
// iris and pupil) when the eye is open, large enough and the blob stands out
// clearly from the rest of the eye.
Vision::Point pupil(const cv::Mat& picture, std::span<const Vision::Point> eye) {
    const Vision::Point centre = mean(eye);
    double minX = eye[0].x, maxX = minX, minY = eye[0].y, maxY = minY;
    for (const auto& p : eye) {
        minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y), maxY = std::max(maxY, p.y);
    }
    const double width = maxX - minX, height = maxY - minY;
    if (width < 8 || height < 0.15 * width) return centre;

    const cv::Rect area = cv::Rect(int(std::floor(minX)), int(std::floor(minY)), int(std::ceil(width)) + 2,
                                   int(std::ceil(height)) + 2) &
                          cv::Rect(0, 0, picture.cols, picture.rows);
    if (area.width < 4 || area.height < 4) return centre;

    // The outline's inside, kept clear of the lids' lashes by a small margin.
    cv::Mat mask = cv::Mat::zeros(area.size(), CV_8U);
    std::vector<cv::Point> polygon;
    for (const auto& p : eye)
        polygon.emplace_back(int(std::lround(p.x - area.x)), int(std::lround(p.y - area.y)));
    cv::fillPoly(mask, std::vector{polygon}, cv::Scalar(255));
    const int margin = std::max(1, int(std::lround(0.06 * width)));
    cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * margin + 1, 2 * margin + 1)));
    if (cv::countNonZero(mask) < 6) return centre;

    cv::Mat smooth;
    toGrey(picture(area)).convertTo(smooth, CV_32F);
    cv::GaussianBlur(smooth, smooth, cv::Size(), std::max(0.05 * width, 0.8));

    double darkest = 0;
    cv::Point at;
    cv::minMaxLoc(smooth, &darkest, nullptr, &at, nullptr, mask);
    const double typical = cv::mean(smooth, mask)[0];
    if (typical - darkest < 12) return centre;  // no clear dark blob: a closed or featureless eye

    // The dark pixels connected to the darkest one.
    cv::Mat dark;
    cv::threshold(smooth, dark, darkest + 0.35 * (typical - darkest), 255, cv::THRESH_BINARY_INV);
    dark.convertTo(dark, CV_8U);
    dark &= mask;
    cv::Mat labels;
    cv::connectedComponents(dark, labels, 8, CV_32S);
    const int blob = labels.at<int>(at);
    if (blob == 0) return centre;
    double sx = 0, sy = 0, n = 0;
    for (int y = 0; y < labels.rows; ++y)
        for (int x = 0; x < labels.cols; ++x)
            if (labels.at<int>(y, x) == blob) sx += x, sy += y, ++n;
    // A "blob" covering most of the eye is shade, not an iris.
    if (n > 0.6 * cv::countNonZero(mask)) return centre;
    return {area.x + sx / n + 0.5, area.y + sy / n + 0.5};
}

}  // namespace

Face locate(const Imaging::Bitmap& picture, const Box& box) {
    if (picture.empty() || (picture.channels != 1 && picture.channels != 3 && picture.channels != 4) ||
        picture.pixels.size() < picture.stride() * std::size_t(picture.height))
        throw std::invalid_argument("face landmarks need an 8-bit grey, RGB or RGBA picture");
    if (!(box.width > 0 && box.height > 0) || !std::isfinite(box.x) || !std::isfinite(box.y) ||
        !std::isfinite(box.width) || !std::isfinite(box.height))
        throw std::invalid_argument("face landmarks need a face box");
    // The crop is made at the picture's resolution: refuse boxes that would
    // make it absurdly large or lie absurdly far away.
    const double extent = 4.0 * std::max(picture.width, picture.height);
    if (std::max(box.width, box.height) > extent || std::abs(box.x) > extent || std::abs(box.y) > extent)
        throw std::invalid_argument("face box lies far outside the picture");
    const auto net = network();

    const cv::Mat pixels = view(picture);
    const Square square = cropSquare(box);
    const auto out = LandmarkNetwork::forward(net->weights, LandmarkNetwork::inputFromRGB(crop(pixels, square)));

    Face face;
    for (int i = 0; i < pointCount; ++i)
        face.points[i] = {square.x + out[2 * i] * square.side, square.y + out[2 * i + 1] * square.side};

    const std::span<const Vision::Point> all(face.points);
    face.rightPupil = pupil(pixels, all.subspan(36, 6));
    face.leftPupil = pupil(pixels, all.subspan(42, 6));
    return face;
}

}  // namespace FaceLandmarks
