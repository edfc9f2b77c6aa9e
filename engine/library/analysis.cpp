#include "engine/library/analysis.h"

namespace Extraction {

// Not built yet: both stay absent.
nlohmann::ordered_json toJSON(const LocalAnalysis&) { return nlohmann::ordered_json::object(); }
std::optional<LocalAnalysis> localAnalysis(const Imaging::Bitmap&) { return std::nullopt; }
std::optional<std::string> featurePrint(const Imaging::Bitmap&) { return std::nullopt; }

}  // namespace Extraction
