#include "engine/portrait/portrait_local_correction.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "engine/imaging/png_file.h"
#include "engine/portrait/portrait_workers.h"
#include "engine/portrait/worker_process.h"

namespace PortraitLocalCorrection {

namespace {

// One pixel of an 8-bit picture as a colour: samples / 255 (a one-channel
// picture gives its value in every channel).
inline Imaging::Pixel pixelOf(const Imaging::Bitmap& bitmap, int col, int row) {
    const std::uint8_t* p = bitmap.row(row) + std::size_t(col) * bitmap.channels;
    if (bitmap.channels == 1) {
        const float v = p[0] / 255.0f;
        return {v, v, v, 1};
    }
    return {p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, bitmap.channels == 4 ? p[3] / 255.0f : 1.0f};
}

// kernel(original, inputs…) at every pixel of the image; each 8-bit input is
// read at the same position counted from the image's top-left, clamped to its size.
template <class Kernel>
Imaging::Image perPixel(const Imaging::Image& image, const std::vector<const Imaging::Bitmap*>& inputs, Kernel&& kernel) {
    constexpr int most = 4;
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* o = image.mat().ptr<Imaging::Pixel>(row);
            Imaging::Pixel* result = out.mutableMat().ptr<Imaging::Pixel>(row);
            Imaging::Pixel at[most];
            for (int col = 0; col < w; ++col) {
                for (std::size_t i = 0; i < inputs.size(); ++i) {
                    const Imaging::Bitmap& input = *inputs[i];
                    at[i] = pixelOf(input, std::min(col, input.width - 1), std::min(row, input.height - 1));
                }
                result[col] = kernel(o[col], at);
            }
        }
    });
    return out;
}

// The red channel of an RGBA bitmap as a one-channel bitmap.
Imaging::Bitmap redChannel(const Imaging::Bitmap& rgba) {
    Imaging::Bitmap out(rgba.width, rgba.height, 1);
    const std::size_t count = std::size_t(rgba.width) * rgba.height;
    for (std::size_t i = 0; i < count; ++i) out.pixels[i] = rgba.pixels[i * 4];
    return out;
}

std::optional<Spot> spotOf(const nlohmann::json& value, double W, double H) {
    if (!value.is_object()) return std::nullopt;
    const auto x = value.find("x");
    const auto y = value.find("y");
    const auto radius = value.find("radius");
    const auto level = value.find("level");
    const auto state = value.find("state");
    if (x == value.end() || y == value.end() || radius == value.end() || level == value.end() || state == value.end())
        return std::nullopt;
    if (!x->is_number() || !y->is_number() || !radius->is_number() || !level->is_number_integer() || !state->is_string())
        return std::nullopt;
    Spot spot;
    spot.u = (x->get<double>() + 0.5) / W;
    spot.v = (y->get<double>() + 0.5) / H;
    spot.radius = radius->get<double>() / W;
    if (level->is_number_unsigned())
        spot.level = int(std::min<std::uint64_t>(level->get<std::uint64_t>(), 255));
    else
        spot.level = int(std::clamp<std::int64_t>(level->get<std::int64_t>(), 0, 255));
    const std::string text = state->get<std::string>();
    spot.kept = text == "kept";
    spot.skipped = text == "skipped";
    return spot;
}

// One output picture of the worker, of exactly the working image's size.
Imaging::Bitmap output(const std::filesystem::path& file, const Imaging::Rect& extent) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0)
        throw std::filesystem::filesystem_error("Could not read portrait correction output", file,
                                                std::error_code(errno, std::generic_category()));
    std::optional<Imaging::Bitmap> bitmap = PNGFile::readRGBA8(file);
    if (!bitmap || bitmap->width != extent.width || bitmap->height != extent.height) throw Failure(geometryMismatch);
    return std::move(*bitmap);
}

}  // namespace

double minimumLevel(double amount) {
    const double c = amount <= 0 ? 1.0 : 1.0 - std::min(amount, 1.0);
    return 254 * c * c + 1;
}

double threshold(double amount) { return amount <= 0 ? 1000.0 : minimumLevel(amount); }

Imaging::Image Prepared::apply(const Imaging::Image& image, double amount) const {
    if (image.empty() || positive.empty() || negative.empty()) throw Failure(notBlended);
    const float m = float(threshold(amount));
    if (scores && forced) {
        return perPixel(image, {&positive, &negative, &*scores, &*forced}, [m](const Imaging::Pixel& o, const Imaging::Pixel* at) {
            return selectForced(o, at[0], at[1], at[2], at[3], m);
        });
    }
    if (scores) {
        return perPixel(image, {&positive, &negative, &*scores}, [m](const Imaging::Pixel& o, const Imaging::Pixel* at) {
            return select(o, at[0], at[1], at[2], m);
        });
    }
    const float a = float(amount);
    return perPixel(image, {&positive, &negative}, [a](const Imaging::Pixel& o, const Imaging::Pixel* at) {
        return blend(o, at[0], at[1], a);
    });
}

Prepared prepare(const Imaging::Image& image, const PortraitAnalysis::Result& analysis, const std::string& worker,
                 const std::vector<std::string>& arguments, bool scored) {
    // 1. The runtime.
    const std::string python = PortraitWorkers::variable("MERROW_PORTRAIT_PYTHON");
    const std::string workerPath = PortraitWorkers::variable("MERROW_PORTRAIT_WORKER");
    if (python.empty() || workerPath.empty()) throw Failure(notConfigured);
    std::string scratch = PortraitWorkers::variable("MERROW_PORTRAIT_SCRATCH");
    if (scratch.empty()) scratch = analysis.directory.string();
    if (image.empty() || image.extent().x != 0 || image.extent().y != 0) throw Failure(notPrepared);

    // 2. The work folder, removed whatever happens next.
    const std::filesystem::path folder = std::filesystem::path(scratch) / ("repair-" + PortraitWorkers::newUUID());
    if (::mkdir(folder.c_str(), 0700) != 0)
        throw std::filesystem::filesystem_error("Could not create the portrait work folder", folder,
                                                std::error_code(errno, std::generic_category()));
    PortraitWorkers::RemovedAtExit removeFolder(folder);

    // 3. The input picture.
    const std::filesystem::path input = folder / "input.png";
    switch (PNGFile::writeRGBA8(input, Imaging::renderRGBA8(image))) {
        case PNGFile::WriteResult::written: break;
        case PNGFile::WriteResult::notCreated: throw Failure(notPrepared);
        case PNGFile::WriteResult::notFinished: throw Failure(notEncoded);
    }

    // 4. The worker.
    std::vector<std::string> command{(std::filesystem::path(workerPath).parent_path() / worker).string(),
                                     "--input", input.string(), "--analysis", analysis.directory.string(),
                                     "--output", folder.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const WorkerProcess::Outcome outcome =
        WorkerProcess::run(python, command, {{"HF_HUB_OFFLINE", "1"}}, WorkerProcess::limit());

    // 5. Its answer.
    if (!outcome.exited || outcome.status != 0) throw Failure(workerFailed);
    const nlohmann::json reply = nlohmann::json::parse(outcome.output, nullptr, false);
    if (!reply.is_object()) throw Failure(workerFailed);

    // 6. Spots.
    Prepared prepared;
    const auto spots = reply.find("spots");
    if (spots != reply.end() && spots->is_array()) {
        for (const nlohmann::json& value : *spots)
            if (auto spot = spotOf(value, image.width(), image.height())) prepared.spots.push_back(*spot);
    }

    // 7. The output pictures.
    prepared.positive = output(folder / "positive.png", image.extent());
    prepared.negative = output(folder / "negative.png", image.extent());
    if (scored) prepared.scores = redChannel(output(folder / "scores.png", image.extent()));
    return prepared;
}

}  // namespace PortraitLocalCorrection
