#include "engine/portrait/portrait_blemishes.h"

#include <cmath>
#include <mutex>

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "engine/develop/look.h"
#include "engine/portrait/portrait_workers.h"

namespace PortraitBlemishes {

namespace {

struct Kept {
    std::string key;
    PortraitLocalCorrection::Prepared correction;
};

std::mutex lastLock;
std::optional<Kept> last;

// The spots reported belong to the render that found them. A render clears,
// fills and reads them on its own thread while other renders run beside it,
// so each thread keeps its own list.
thread_local std::optional<std::vector<std::vector<double>>> reportedSpots;

bool anyAbove(const std::vector<std::optional<double>>& values) {
    for (const auto& value : values)
        if (value && *value > 0) return true;
    return false;
}

std::string keepText(const Develop::Look::Points& keep) {
    try {
        return nlohmann::json(keep).dump();
    } catch (const std::exception&) {
        return "[]";
    }
}

// Steps shared by apply and spots: the kept points, the weights and the
// correction, prepared once per key.
PortraitLocalCorrection::Prepared correction(const Imaging::Image& image, const PortraitAnalysis::Result& analysis,
                                             const std::string& key, const Develop::Look::Points& keep) {
    validated(keep);
    const std::string weights = PortraitWorkers::variable("MERROW_BLEMISH_WEIGHTS");
    struct stat info {};
    if (!PortraitWorkers::isAbsolute(weights) || ::stat(weights.c_str(), &info) != 0) throw Failure(notConfigured);

    const std::string k = key + "|" + runtimeIdentity();
    {
        const std::lock_guard<std::mutex> held(lastLock);
        if (last && last->key == k) return last->correction;
    }
    PortraitLocalCorrection::Prepared prepared = PortraitLocalCorrection::prepare(
        image, analysis, "studio_blemishes.py", {"--weights", weights, "--keep", keepText(keep)}, true);
    const std::lock_guard<std::mutex> held(lastLock);
    last = Kept{k, prepared};
    return prepared;
}

}  // namespace

std::string runtimeIdentity() { return "studio-blemishes-v2|" + PortraitWorkers::variable("MERROW_BLEMISH_WEIGHTS"); }

std::optional<std::vector<std::vector<double>>> reported() { return reportedSpots; }

void setReported(std::optional<std::vector<std::vector<double>>> spots) { reportedSpots = std::move(spots); }

const Develop::Look::Points& validated(const Develop::Look::Points& keep) {
    if (keep.size() > maximumKept) throw Failure(invalidKeep);
    for (const auto& point : keep) {
        if (point.size() != 2) throw Failure(invalidKeep);
        for (double value : point)
            if (!std::isfinite(value) || value < 0 || value > 1) throw Failure(invalidKeep);
    }
    return keep;
}

State stateOf(const PortraitLocalCorrection::Spot& spot, double strength) {
    if (spot.kept) return kept;
    if (spot.skipped) return skipped;
    if (!(strength > 0)) return notCorrected;
    return PortraitLocalCorrection::minimumLevel(strength) - 0.5 > spot.level ? notCorrected : corrected;
}

Imaging::Image apply(const Imaging::Image& image, const PortraitAnalysis::Result& analysis, const std::string& key,
                     double amount, const std::vector<std::optional<double>>& own, const Develop::Look::Points& keep) {
    if (amount == 0 && !anyAbove(own)) return image;
    return correction(image, analysis, key, keep).apply(image, amount);
}

std::vector<std::vector<double>> spots(const Imaging::Image& image, const PortraitAnalysis::Result& analysis,
                                       const std::string& key, double amount,
                                       [[maybe_unused]] const std::vector<std::optional<double>>& own,
                                       const Develop::Look::Points& keep) {
    // A spot's strength is its own when the worker gives one, else the amount;
    // the per-face amounts do not reach single spots (the worker does not say
    // which face a spot is on).
    const PortraitLocalCorrection::Prepared prepared = correction(image, analysis, key, keep);
    std::vector<std::vector<double>> rows;
    for (const auto& spot : prepared.spots) {
        const double strength = spot.own.value_or(amount);
        rows.push_back({spot.u, spot.v, spot.radius, double(stateOf(spot, strength)), double(spot.face)});
    }
    return rows;
}

}  // namespace PortraitBlemishes

namespace PortraitTone {

namespace {

struct Kept {
    std::string key;
    PortraitLocalCorrection::Prepared correction;
};

std::mutex lastLock;
std::optional<Kept> last;

bool anyAbove(const std::vector<std::optional<double>>& values) {
    for (const auto& value : values)
        if (value && *value > 0) return true;
    return false;
}

}  // namespace

std::string runtimeIdentity() { return "studio-tone-v1|local-chroma-evenness-v2|parsed-under-eye-v1"; }

Imaging::Image apply(const Imaging::Image& image, const PortraitAnalysis::Result& analysis, const std::string& key,
                     double tone, double underEye, const std::vector<std::optional<double>>& ownTone,
                     const std::vector<std::optional<double>>& ownUnderEye) {
    if (tone == 0 && underEye == 0 && !anyAbove(ownTone) && !anyAbove(ownUnderEye)) return image;
    const std::string k = key + "|" + runtimeIdentity();
    std::optional<PortraitLocalCorrection::Prepared> prepared;
    {
        const std::lock_guard<std::mutex> held(lastLock);
        if (last && last->key == k) prepared = last->correction;
    }
    if (!prepared) {
        prepared = PortraitLocalCorrection::prepare(
            image, analysis, "studio_tone.py",
            {"--tone", Develop::shortestDecimal(tone), "--under-eye", Develop::shortestDecimal(underEye)}, false);
        const std::lock_guard<std::mutex> held(lastLock);
        last = Kept{key + "|" + runtimeIdentity(), *prepared};
    }
    return prepared->apply(image, 1.0);
}

}  // namespace PortraitTone
