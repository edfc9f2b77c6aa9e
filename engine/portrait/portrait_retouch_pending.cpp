// Portrait retouch stages that are not built yet: each has nothing to do.

#include <mutex>

#include "engine/portrait/portrait_retouch.h"

using Imaging::Image;

namespace PortraitLimits {
void validate(const Image&, const Develop::Look&) {}
}  // namespace PortraitLimits

namespace PortraitAnalysis {
std::string runtimeIdentity() { return {}; }
std::optional<Image> retouch(const Image&, const Develop::Look&, const std::filesystem::path&, const Retouch&) {
    return std::nullopt;
}
}  // namespace PortraitAnalysis

namespace PortraitBlemishes {
namespace {
std::mutex reportedLock;
std::optional<std::vector<std::vector<double>>> reportedSpots;
}  // namespace
std::string runtimeIdentity() { return {}; }
std::optional<std::vector<std::vector<double>>> reported() {
    std::lock_guard lock(reportedLock);
    return reportedSpots;
}
void setReported(std::optional<std::vector<std::vector<double>>> spots) {
    std::lock_guard lock(reportedLock);
    reportedSpots = std::move(spots);
}
}  // namespace PortraitBlemishes

namespace PortraitTone {
std::string runtimeIdentity() { return {}; }
}  // namespace PortraitTone
