#include "engine/protocol/handler.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <system_error>

#include "engine/develop/render.h"
#include "engine/library/analysis.h"
#include "engine/library/extraction.h"
#include "engine/portrait/faces.h"

namespace Protocol {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int defaultPreviewSize = 400;
constexpr double defaultPreviewQuality = 0.82;
constexpr int defaultRenderLongEdge = 2048;
constexpr double defaultRenderQuality = 0.85;

// A request path as a file: relative paths are taken from the working folder.
fs::path fileURL(const std::string& path) {
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    return ec ? fs::path(path) : absolute;
}

int clampToInt(std::int64_t value) {
    return int(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

// A value that is not finite measures nothing; it is reported as absent
// rather than making the whole result unwritable.
std::optional<double> finite(std::optional<double> value) {
    if (value && !std::isfinite(*value)) return std::nullopt;
    return value;
}

// Rows (faces, spots) with a non-finite coordinate are left out for the same reason.
Spots finiteRows(Spots rows) {
    std::erase_if(rows, [](const std::vector<double>& row) {
        return std::any_of(row.begin(), row.end(), [](double v) { return !std::isfinite(v); });
    });
    return rows;
}

void fillMetadata(Result& result, const Extraction::ImageMetadata& metadata) {
    result.rawW = metadata.rawW;
    result.rawH = metadata.rawH;
    result.shotAt = metadata.shotAt;
    result.camera = metadata.camera;
    result.cameraSerial = metadata.cameraSerial;
    result.lens = metadata.lens;
    result.focalLength = finite(metadata.focalLength);
    result.exposureTime = finite(metadata.exposureTime);
    result.aperture = finite(metadata.aperture);
    result.iso = metadata.iso;
    result.orientation = metadata.orientation;
}

void facesRoute(const fs::path& url, Result& result) {
    try {
        result.faces = finiteRows(PortraitFaces::list(url));
        result.ok = true;
    } catch (const std::exception& failure) {
        result.ok = false;
        result.error = failure.what();
    }
}

void developRoute(const Request& request, const fs::path& url, const Extraction::ImageMetadata& metadata,
                  Result& result) {
    std::optional<Develop::Rendered> rendered;
    try {
        Develop::RenderRequest render;
        render.source = url;
        render.look = request.look.value_or(Develop::Look::neutral());
        render.dest = fileURL(*request.out);
        render.longEdge = clampToInt(request.max.value_or(defaultRenderLongEdge));
        render.quality = request.quality.value_or(defaultRenderQuality);
        render.interactive = request.interactive;
        render.live = request.live;
        render.showSkinMask = request.skinMaskOverlay;
        render.preserveJPEGProfile = request.preserveJPEGProfile;
        render.deliveryOutputFD = request.deliveryOutputFD;
        rendered = Develop::renderToJPEG(render);
    } catch (const std::exception& failure) {
        result.ok = false;
        result.error = failure.what();
        return;
    }
    fillMetadata(result, metadata);
    if (!rendered) {
        result.ok = false;
        result.error = "develop failed";
        return;
    }
    result.ok = true;
    result.previewW = rendered->width;
    result.previewH = rendered->height;
    result.bytes = rendered->bytes;
    result.out = request.out;
    result.cameraTemperature = finite(rendered->cameraTemperature);
    result.cameraTint = finite(rendered->cameraTint);
    if (rendered->blemishSpots) result.blemishSpots = finiteRows(*rendered->blemishSpots);
}

void previewRoute(const Request& request, const Extraction::Source& source, bool rendered,
                  const Extraction::ImageMetadata& metadata, Result& result) {
    auto image = Extraction::preview(source, clampToInt(request.max.value_or(defaultPreviewSize)), rendered,
                                     request.transform);
    fillMetadata(result, metadata);
    if (!image) {
        result.ok = false;
        result.error = "no embedded preview";
        return;
    }
    if (request.out) {
        fs::path out(*request.out);
        std::error_code ignored;
        if (out.has_parent_path()) fs::create_directories(out.parent_path(), ignored);
        // The preview keeps the pixels as the file holds them, so it names their colour space.
        result.bytes = Extraction::writeJPEG(*image, out, request.quality.value_or(defaultPreviewQuality),
                                             Extraction::colourProfile(source));
        result.out = request.out;
    }
    result.previewW = image->width;
    result.previewH = image->height;
    if (request.fp) result.fp = Extraction::featurePrint(*image);
    if (request.analysis) result.analysis = Extraction::localAnalysis(*image);
    result.ok = true;
}

void route(const Request& request, Result& result) {
    fs::path url = fileURL(request.src);
    if (request.faces) return facesRoute(url, result);

    auto source = Extraction::open(url);
    if (!source) {
        result.ok = false;
        result.error = "unreadable";
        return;
    }
    auto metadata = Extraction::metadata(*source);
    bool rendered = Extraction::isRendered(url);
    if (request.develop && request.out) return developRoute(request, url, metadata, result);
    previewRoute(request, *source, rendered, metadata, result);
}

}  // namespace

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path == "/") return "/";
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

Result handle(const Request& request) {
    auto start = Clock::now();
    Result result;
    result.id = request.id;
    result.gen = request.gen;
    result.file = lastPathComponent(request.src);
    try {
        route(request, result);
    } catch (const std::exception& failure) {
        // Something below gave up in an unforeseen way (memory, file system):
        // the request still gets its one answer.
        Result failed;
        failed.id = result.id;
        failed.gen = result.gen;
        failed.file = result.file;
        failed.error = failure.what();
        result = std::move(failed);
    }
    result.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return result;
}

}  // namespace Protocol
