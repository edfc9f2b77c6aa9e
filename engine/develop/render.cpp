#include "engine/develop/render.h"

#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/camera/camera_look.h"
#include "engine/camera/camera_profile.h"
#include "engine/develop/apply.h"
#include "engine/develop/camera_match.h"
#include "engine/develop/crop.h"
#include "engine/develop/decode.h"
#include "engine/develop/delivery_output.h"
#include "engine/imaging/colour_spaces.h"
#include "engine/imaging/jpeg_encoder.h"
#include "engine/imaging/pixel_pool.h"
#include "engine/imaging/vector_loop.h"
#include "engine/library/extraction.h"
#include "engine/library/part_file.h"
#include "engine/portrait/portrait_retouch.h"
#include "jpegprofile/jpegprofile.h"

namespace Develop {

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------- background work

// One low-priority worker for fire-and-forget jobs. Lives until the process
// ends (never destroyed, so exit does not race a running job).
class Background {
public:
    static Background& shared() {
        static Background* instance = new Background();
        return *instance;
    }
    void post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            if (jobs_.size() >= 16) jobs_.pop_front();  // warming is best effort; old requests go first
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }

private:
    Background() {
        std::thread([this] {
            for (;;) {
                std::function<void()> job;
                {
                    std::unique_lock lock(mutex_);
                    ready_.wait(lock, [this] { return !jobs_.empty(); });
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                }
                try {
                    job();
                } catch (...) {
                }
            }
        }).detach();
    }
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
};

bool isRenderedName(const std::filesystem::path& file) { return Extraction::isRendered(file); }

}  // namespace

std::mutex& portraitRenderLock() {
    static std::mutex lock;
    return lock;
}

namespace {

// The file's path, modification time and size: a changed file gets new keys.
std::string fileIdentity(const std::filesystem::path& source) {
    double mtime = 0;
    long long size = 0;
    struct stat info {};
    if (::stat(source.c_str(), &info) == 0) {
        mtime = double(info.st_mtim.tv_sec) + double(info.st_mtim.tv_nsec) / 1e9;
        size = info.st_size;
    }
    return source.string() + "|" + shortestDecimal(mtime) + "|" + std::to_string(size);
}

}  // namespace

std::string skinKey(const std::filesystem::path& source, const Look& look, int longEdge, bool excludingBlemishAmount) {
    static constexpr Look::FaceField eyesAndTeeth[] = {&Look::FaceSettings::eyeWhites, &Look::FaceSettings::teethWhiten};
    Look k = look.asDeveloped().withoutSharpening().withoutFaceValues(eyesAndTeeth);
    k.grayscale.reset();
    k.grayMix.reset();
    k.grainAmount.reset();
    k.grainSize.reset();
    k.grainRoughness.reset();
    k.crop.reset();
    k.skinSmooth.reset();
    k.skinRangeSmooth.reset();
    k.eyeWhites.reset();
    k.teethWhiten.reset();
    if (excludingBlemishAmount) {
        k.skinBlemishes.reset();
        k.skinTone.reset();
        k.skinUnderEye.reset();
    }
    std::string json;
    try {
        json = cacheText(k);  // object keys sorted
    } catch (...) {
        json.clear();
    }

    return fileIdentity(source) + "||" + std::to_string(longEdge) + "|" + json + "|" + PortraitAnalysis::runtimeIdentity() +
           "|" + PortraitBlemishes::runtimeIdentity() + "|" + PortraitTone::runtimeIdentity();
}

std::string baseKey(const std::filesystem::path& source, const Look& look, int longEdge, bool live,
                    const ApplyOptions& options) {
    // The sliders whose stages come after noise reduction, and the crop,
    // which comes after every stage. Everything else stays in the key.
    Look k = look.withoutSpots();  // the colour-range retouch comes after every stage too
    for (auto field : {&Look::contrast, &Look::shadows, &Look::whites, &Look::blacks, &Look::vibrance, &Look::saturation,
                       &Look::texture, &Look::clarity, &Look::dehaze, &Look::grainAmount, &Look::grainSize,
                       &Look::grainRoughness, &Look::curveShadows, &Look::curveDarks, &Look::curveLights,
                       &Look::curveHighlights, &Look::grayscale, &Look::sharpenAmount, &Look::sharpenRadius,
                       &Look::sharpenDetail, &Look::sharpenMasking})
        (k.*field).reset();
    k.curve.reset();
    k.colorMix.reset();
    k.grayMix.reset();
    k.crop.reset();
    std::string json;
    try {
        json = cacheText(k);
    } catch (...) {
        return {};  // no key: nothing is kept
    }
    const auto flag = [](bool b) { return b ? "1" : "0"; };
    return fileIdentity(source) + "|" + std::to_string(longEdge) + "|" + json + "|live" + flag(live) + "|experimental" +
           flag(experimentalSkin()) + "|extended" + flag(options.extended) + "|profile" + flag(options.profile.has_value()) +
           "|camera" + flag(options.camera.has_value()) + "|tone" + flag(options.tone.has_value()) + "|scale" +
           shortestDecimal(options.detailScale);
}

void warmProfile(const std::filesystem::path& source, const Look& look) {
    if (isRenderedName(source)) return;
    Background::shared().post([source, named = look.profile] {
        const auto opened = Extraction::open(source);
        if (!opened) return;
        const auto facts = Extraction::metadata(*opened);
        if (facts.camera) (void)CameraProfile::profile(*facts.camera, named);
    });
}

namespace {

std::uint8_t to8(float e) { return std::uint8_t(e > 0 ? (e >= 1 ? 255 : int(e * 255.0f + 0.5f)) : 0); }

// `to8` of `count` floats, written with plain selects so that the loop
// vectorises (NaN goes to 0 as there).
VECTOR_LOOP void eightBits(const float* __restrict in, std::uint8_t* __restrict out, int count) {
#pragma omp simd
    for (int k = 0; k < count; ++k) {
        float v = in[k] > 0 ? in[k] : 0.0f;
        v = v < 1 ? v : 1.0f;
        out[k] = std::uint8_t(int(v * 255.0f + 0.5f));
    }
}

// The identity, for pictures that are display-encoded already.
struct AsEncoded {};

// JPEG bytes of the picture's display-encoded values (`encode` of each channel).
template <class Encode>
std::optional<Bytes> encodeJPEGThrough(const Imaging::Image& image, double quality, const Bytes* profile, Encode&& encode) {
    if (image.empty()) return std::nullopt;
    // Display encoding and 8 bits in one pass, four bytes a pixel (the
    // fourth is not read).
    // 8-bit rows from the pixel pool (no zeroing; every byte is written).
    cv::Mat rgbx = Imaging::pooledMat();
    rgbx.create(image.height(), image.width(), CV_8UC4);
    // A profile other than sRGB: the working values are converted into its
    // colour space (colours outside sRGB included) and only then made 8 bits.
    constexpr bool displayEncoded = std::is_same_v<std::decay_t<Encode>, AsEncoded>;
    std::optional<ColourSpaces::Encoder> intoProfile;
    if (profile && !ColourSpaces::isSRGB(*profile)) {
        intoProfile.emplace(*profile, !displayEncoded);
        if (!intoProfile->usable()) return std::nullopt;
    }
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            std::uint8_t* out = rgbx.ptr<std::uint8_t>(row);
            if (intoProfile) {
                intoProfile->encodeRow(in, out, image.width());
            } else if constexpr (displayEncoded) {
                eightBits(&in->r, out, 4 * image.width());
            } else {
                for (int col = 0; col < image.width(); ++col, out += 4)
                    out[0] = to8(encode(in[col].r)), out[1] = to8(encode(in[col].g)), out[2] = to8(encode(in[col].b));
            }
        }
    });

    return Imaging::encodeJPEG(Imaging::EightBitRows{rgbx.data, rgbx.cols, rgbx.rows, rgbx.step, 4},
                               Imaging::JPEGEncoding{Imaging::jpegQuality(quality, 0.85), /*accurateDCT=*/true});
}

}  // namespace

std::optional<Bytes> encodeJPEG(const Imaging::Image& linear, double quality, const Bytes* profile) {
    return encodeJPEGThrough(linear, quality, profile, Imaging::sRGBEncoder());
}

std::optional<Bytes> encodeDisplayJPEG(const Imaging::Image& encoded, double quality, const Bytes* profile) {
    return encodeJPEGThrough(encoded, quality, profile, AsEncoded{});
}

std::optional<Rendered> renderToJPEG(const RenderRequest& request) {
    const std::filesystem::path& source = request.source;
    const Look& look = request.look;
    const int longEdge = request.longEdge;
    const bool interactive = request.interactive;
    const bool live = request.live;
    // 1. The source JPEG's own profile, when asked; its failure is the render's.
    std::optional<JPEGColourProfile::Output> sourceProfile;
    if (request.preserveJPEGProfile) sourceProfile = JPEGColourProfile::source(source);

    // 2. The experimental portrait path renders one photo at a time.
    const bool experimental = experimentalSkin();
    std::unique_lock<std::mutex> renderLock;
    if (experimental) renderLock = std::unique_lock(portraitRenderLock());

    // 3. Profile lookup runs while the decode does.
    warmProfile(source, look);

    // 4. Decode.
    std::optional<Decoded> decoded;
    // A RAW file's first render also brings the camera look's sample when its
    // own decode can make it (see 6–7).
    const bool matchKnown = CameraLook::match(source) || CameraLook::knownMiss(source);
    const int sampleEdge = matchKnown ? 0 : CameraLook::sampleEdge;
    if (live && interactive) decoded = liveDecode(source, look, longEdge, sampleEdge);
    else if (experimental || (!live && interactive)) decoded = decodeForEditing(source, look, longEdge, sampleEdge);
    else decoded = decode(source, look, longEdge, sampleEdge);
    if (!decoded || decoded->image.empty()) return std::nullopt;

    // 5. Camera profile of a RAW file.
    std::optional<CameraProfile::Profile> profile;
    if (decoded->extended) {
        if (const auto opened = Extraction::open(source)) {
            const auto facts = Extraction::metadata(*opened);
            profile = CameraProfile::profile(facts.camera.value_or(""), look.profile);
        }
    }

    // 6–7. Camera look of a RAW file rendered without a profile (fitted once
    // per file from its own small decode, whatever this render's size; the
    // decode above made it when it could).
    std::optional<CameraLook::Match> cameraMatch;
    if (!profile && decoded->extended) {
        cameraMatch = CameraLook::match(source);
        if (!cameraMatch) {
            prepareCameraLook(source, decoded->sample);
            cameraMatch = CameraLook::match(source);
        }
    }

    // 8. Blemish spots are reported by this render only.
    PortraitBlemishes::setReported(std::nullopt);

    // 9–10. Develop.
    ApplyOptions options;
    options.extended = decoded->extended;
    options.camera = cameraMatch;
    options.profile = profile;
    options.retouchKey = skinKey(source, look, longEdge, false);
    options.blemishKey = skinKey(source, look, longEdge, true);
    const Look withoutSpots = look.withoutSpots();
    options.rangeKey = skinKey(source, withoutSpots, longEdge, false);
    options.spotKey = skinKey(source, withoutSpots, 0, false);
    options.portraitURL = source;
    options.cacheRetouch = interactive;
    options.showSkinMask = interactive && request.showSkinMask;
    options.detailScale = decoded->detailScale;
    // Only a straightening crop needs linear values (it resamples); otherwise
    // the picture stays display-encoded up to the JPEG.
    options.displayEncoded = !Crop::rotates(look.crop);
    // While editing, the picture up to noise reduction is kept for the next
    // render, which starts there when only later sliders moved.
    if (interactive) {
        std::string key = baseKey(source, look, longEdge, live, options);
        if (!key.empty()) options.baseKey = std::move(key);
    }
    // The decoded picture is not needed past this point: a fresh decode's
    // pixels are developed in place (a cached one is shared and stays).
    Imaging::Image image = apply(look, std::move(decoded->image), options);

    // 11. Crop.
    image = Crop::apply(look.crop, image);
    if (image.width() <= 0 || image.height() <= 0) return std::nullopt;

    // 12. The destination's folder.
    if (!request.deliveryOutputFD) {
        std::error_code ignored;
        if (request.dest.has_parent_path()) std::filesystem::create_directories(request.dest.parent_path(), ignored);
    }

    // 13–15. Encode without metadata (the picture is upright already) and embed the profile.
    const Bytes* iccOut = sourceProfile ? &sourceProfile->icc : nullptr;
    const auto data = options.displayEncoded ? encodeDisplayJPEG(image, request.quality, iccOut)
                                               : encodeJPEG(image, request.quality, iccOut);
    if (!data) return std::nullopt;
    const auto bytes = JPEGColourProfile::embed(sourceProfile ? sourceProfile->icc : JPEGColourProfile::sRGBProfile(), *data);
    if (!bytes) return std::nullopt;

    // 16. Write.
    if (request.deliveryOutputFD) {
        try {
            DeliveryOutput::write(*bytes, *request.deliveryOutputFD);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    } else if (!PartFile::write(*bytes, request.dest, PartFile::Durability::render)) {
        return std::nullopt;
    }

    // 17. Report.
    Rendered rendered;
    rendered.width = image.width();
    rendered.height = image.height();
    rendered.bytes = static_cast<long long>(bytes->size());
    rendered.cameraTemperature = decoded->cameraTemperature;
    rendered.cameraTint = decoded->cameraTint;
    if (interactive && request.showSkinMask) rendered.blemishSpots = PortraitBlemishes::reported();
    return rendered;
}

}  // namespace Develop
