#include "engine/portrait/faces.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace PortraitFaces {

std::vector<Detected> eligibility(const std::vector<Vision::FaceObservation>& observations, int bitmapWidth,
                                  int bitmapHeight, int fullWidth, int fullHeight, double minimumWidth) {
    std::vector<const Vision::FaceObservation*> confident;
    for (const auto& face : observations)
        if (face.confidence >= minimumConfidence) confident.push_back(&face);
    std::stable_sort(confident.begin(), confident.end(), [](const auto* a, const auto* b) {
        return a->boundingBox.width > b->boundingBox.width;
    });

    const double w = bitmapWidth;
    const double h = bitmapHeight;
    const double bitmapLong = std::max(bitmapWidth, bitmapHeight);
    const double scale = bitmapLong > 0 ? std::max(fullWidth, fullHeight) / bitmapLong : 1.0;

    std::vector<Detected> eligible;
    std::vector<Detected> others;
    for (const auto* face : confident) {
        const Vision::Rect& b = face->boundingBox;
        Detected d;
        d.x1 = b.x * w;
        d.y1 = (1 - (b.y + b.height)) * h;
        d.x2 = (b.x + b.width) * w;
        d.y2 = (1 - b.y) * h;
        const double fullSizeWidth = b.width * w * scale;
        d.eligible = int(eligible.size()) < maximumFaces && minimumWidth <= fullSizeWidth;
        (d.eligible ? eligible : others).push_back(d);
    }
    eligible.insert(eligible.end(), others.begin(), others.end());
    return eligible;
}

Detection detect(Imaging::Bitmap bitmap, int fullWidth, int fullHeight, double minimumWidth) {
    if (bitmap.empty() || (bitmap.channels != 1 && bitmap.channels != 3 && bitmap.channels != 4) ||
        bitmap.pixels.size() < bitmap.stride() * std::size_t(bitmap.height))
        throw Failure(unpreparable);
    if (fullWidth <= 0 || fullHeight <= 0) throw Failure(undecodable);

    std::vector<Vision::FaceObservation> observations;
    try {
        observations = Vision::findFaces(bitmap);
    } catch (const Vision::Unavailable& e) {
        throw Failure(e.what());
    }
    Detection out;
    out.faces = eligibility(observations, bitmap.width, bitmap.height, fullWidth, fullHeight, minimumWidth);
    out.bitmap = std::move(bitmap);
    return out;
}

Detection detect(const std::filesystem::path& photo, double minimumWidth) {
    AnalysisPicture picture = analysisPicture(photo);
    return detect(std::move(picture.bitmap), picture.fullWidth, picture.fullHeight, minimumWidth);
}

double modeMinimumWidth() {
    const char* mode = std::getenv("MERROW_EXPERIMENTAL_SKIN");
    return mode && std::strcmp(mode, "1") == 0 ? minimumFaceWidth : minimumBasicFaceWidth;
}

std::vector<std::vector<double>> fractions(const Detection& detection) {
    const double w = detection.bitmap.width;
    const double h = detection.bitmap.height;
    std::vector<std::vector<double>> out;
    for (const Detected& d : detection.faces)
        out.push_back({d.x1 / w, d.y1 / h, d.x2 / w, d.y2 / h, d.eligible ? 1.0 : 0.0});
    return out;
}

std::vector<std::vector<double>> list(const std::filesystem::path& photo) {
    return fractions(detect(photo, modeMinimumWidth()));
}

}  // namespace PortraitFaces
