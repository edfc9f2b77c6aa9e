#pragma once
// Picture evidence computed from a preview: the local analysis and the feature print.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/imaging/bitmap.h"

namespace Extraction {

// Scene, quality and face evidence of one preview.
// Placeholder until the analysis lands: it holds no measures yet.
struct LocalAnalysis {};

// The analysis as the JSON object written into a result.
nlohmann::ordered_json toJSON(const LocalAnalysis& analysis);

// Both are absent when they cannot be computed.
std::optional<LocalAnalysis> localAnalysis(const Imaging::Bitmap& preview);
std::optional<std::string> featurePrint(const Imaging::Bitmap& preview);

}  // namespace Extraction
