#include "engine/portrait/portrait_analysis.h"

#include <cmath>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/develop/look.h"
#include "engine/imaging/png_file.h"
#include "engine/portrait/faces.h"
#include "engine/portrait/portrait_workers.h"
#include "engine/portrait/worker_process.h"

namespace PortraitAnalysis {

namespace {

struct Last {
    std::string key;
    Imaging::Image mask;  // at analysis size
    double width = 0;     // face width in analysis pixels
    int bitmapWidth = 0;
    int bitmapHeight = 0;
    std::filesystem::path directory;
};

std::mutex lock;
std::optional<Last> last;

struct Runtime {
    std::string python, worker, assets, cache, scratch;
};

// The runtime the environment names, or nothing when it is not usable.
std::optional<Runtime> configuredRuntime() {
    Runtime r{PortraitWorkers::variable("MERROW_PORTRAIT_PYTHON"), PortraitWorkers::variable("MERROW_PORTRAIT_WORKER"),
              PortraitWorkers::variable("MERROW_PORTRAIT_ASSETS"), PortraitWorkers::variable("MERROW_PORTRAIT_CACHE"),
              PortraitWorkers::variable("MERROW_PORTRAIT_SCRATCH")};
    for (const std::string* required : {&r.python, &r.worker, &r.assets, &r.cache})
        if (!PortraitWorkers::isAbsolute(*required)) return std::nullopt;
    if (!PortraitWorkers::isExecutableFile(r.python)) return std::nullopt;
    struct stat info {};
    if (::stat(r.worker.c_str(), &info) != 0) return std::nullopt;
    if (r.scratch.empty()) r.scratch = r.cache;
    return r;
}

std::string cacheKey(const std::filesystem::path& url) {
    long long size = 0;
    double mtime = 0;
    struct stat info {};
    if (::stat(url.c_str(), &info) == 0) {
        size = info.st_size;
        mtime = double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9;
    }
    return url.string() + "|" + std::to_string(size) + "|" + Develop::shortestDecimal(mtime) + "|" + runtimeIdentity();
}

Result fitted(const Last& analysis, const Imaging::Rect& extent) {
    const double w = analysis.bitmapWidth;
    const double h = analysis.bitmapHeight;
    if (extent.x != 0 || extent.y != 0 || extent.width <= 0 || extent.height <= 0 ||
        !(std::fabs(double(extent.width) / extent.height - w / h) < 0.005))
        throw Failure(orientationMismatch);
    Result result;
    result.image = extent.width == analysis.bitmapWidth && extent.height == analysis.bitmapHeight
                       ? analysis.mask
                       : Imaging::lanczosResize(analysis.mask, extent.width, extent.height);
    result.faceWidth = analysis.width * extent.width / w;
    result.directory = analysis.directory;
    return result;
}

Imaging::Bitmap rgba(const Imaging::Bitmap& bitmap) {
    if (bitmap.channels == 4) return bitmap;
    Imaging::Bitmap out(bitmap.width, bitmap.height, 4);
    for (int y = 0; y < bitmap.height; ++y) {
        const std::uint8_t* in = bitmap.row(y);
        std::uint8_t* o = out.row(y);
        for (int x = 0; x < bitmap.width; ++x, in += bitmap.channels, o += 4) {
            o[0] = in[0];
            o[1] = bitmap.channels == 1 ? in[0] : in[1];
            o[2] = bitmap.channels == 1 ? in[0] : in[2];
            o[3] = 255;
        }
    }
    return out;
}

std::string boundsText(double value) { return Develop::shortestDecimal(value); }

// The worker's mask, checked: inside the cache folder and of the bitmap's size.
std::optional<Imaging::Image> answeredMask(const std::string& output, const std::filesystem::path& cache, int w, int h,
                                           std::filesystem::path& folder) {
    const nlohmann::json reply = nlohmann::json::parse(output);  // a parse error is passed on
    if (!reply.is_object()) return std::nullopt;
    const auto mask = reply.find("mask");
    if (mask == reply.end() || !mask->is_string()) return std::nullopt;
    const std::filesystem::path path = PortraitWorkers::standardised(mask->get<std::string>());
    if (!PortraitWorkers::isInside(path, cache)) return std::nullopt;
    std::optional<Imaging::Image> image = PNGFile::read(path);
    if (!image || image->width() != w || image->height() != h) return std::nullopt;
    folder = path.parent_path();
    return image;
}

}  // namespace

std::string runtimeIdentity() {
    return "studio-facexformer-v2|" + PortraitWorkers::variable("MERROW_PORTRAIT_PYTHON") + "|" +
           PortraitWorkers::variable("MERROW_PORTRAIT_WORKER") + "|" + PortraitWorkers::variable("MERROW_PORTRAIT_ASSETS");
}

FaceBox singleFace(const std::vector<Vision::FaceObservation>& observations, int w, int h) {
    if (observations.size() != 1 || !(observations[0].confidence >= minimumConfidence)) throw Failure(needsOneFace);
    const Vision::Rect& b = observations[0].boundingBox;
    FaceBox box;
    box.x1 = b.x * w;
    box.y1 = (1 - (b.y + b.height)) * h;
    box.x2 = (b.x + b.width) * w;
    box.y2 = (1 - b.y) * h;
    box.width = b.width * w;
    if (!(box.width >= minimumFaceWidth)) throw Failure(faceTooSmall);
    return box;
}

Result make(const std::filesystem::path& url, const Imaging::Rect& extent) {
    const std::lock_guard<std::mutex> held(lock);

    // 1. The runtime.
    const std::optional<Runtime> runtime = configuredRuntime();
    if (!runtime) throw Failure(notConfigured);

    // 2–3. The last analysis of this photo version and runtime.
    const std::string key = cacheKey(url);
    if (last && last->key == key) return fitted(*last, extent);

    // 4. The analysis bitmap.
    PortraitFaces::AnalysisPicture picture = PortraitFaces::analysisPicture(url);
    const Imaging::Bitmap bitmap = rgba(picture.bitmap);
    const int w = bitmap.width;
    const int h = bitmap.height;

    // 5–6. Exactly one clearly visible face, wide enough.
    const FaceBox box = singleFace(Vision::findFaces(bitmap), w, h);

    // 7. The output folder.
    const std::filesystem::path cache = PortraitWorkers::standardised(runtime->cache);
    PortraitWorkers::createPrivateFolders(cache);

    // 8. The input picture, removed whatever happens next.
    const std::filesystem::path input =
        std::filesystem::path(runtime->scratch) / ("input-" + PortraitWorkers::newUUID() + ".png");
    PortraitWorkers::RemovedAtExit removeInput(input);
    switch (PNGFile::writeRGBA8(input, bitmap)) {
        case PNGFile::WriteResult::written: break;
        case PNGFile::WriteResult::notCreated: throw Failure(imageNotPrepared);
        case PNGFile::WriteResult::notFinished: throw Failure(imageNotEncoded);
    }

    // 9. The worker.
    const std::vector<std::string> arguments{runtime->worker, "--input",  input.string(),    "--output",
                                             runtime->cache,  "--assets", runtime->assets,   "--bounds",
                                             boundsText(box.x1), boundsText(box.y1), boundsText(box.x2),
                                             boundsText(box.y2)};
    const WorkerProcess::Outcome outcome =
        WorkerProcess::run(runtime->python, arguments,
                           {{"HF_HUB_OFFLINE", "1"}, {"TORCH_HOME", (std::filesystem::path(runtime->cache) / "torch").string()}},
                           WorkerProcess::limit());

    // 10–11. Its answer.
    if (!outcome.exited || outcome.status != 0) throw Failure(workerFailed);
    std::filesystem::path folder;
    std::optional<Imaging::Image> mask = answeredMask(outcome.output, cache, w, h, folder);
    if (!mask) throw Failure(workerFailed);

    // 12–13.
    last = Last{key, std::move(*mask), box.width, w, h, folder};
    return fitted(*last, extent);
}

}  // namespace PortraitAnalysis
