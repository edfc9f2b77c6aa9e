// Placeholder definitions until the photo-file code lands; this file is removed then.
#include "engine/library/extraction.h"

namespace Extraction {

bool isRendered(const std::filesystem::path&) { return false; }
std::optional<Source> open(const std::filesystem::path&) { return std::nullopt; }
std::optional<Imaging::Bitmap> preview(const Source&, int, bool, bool) { return std::nullopt; }
std::optional<long long> writeJPEG(const Imaging::Bitmap&, const std::filesystem::path&, double) { return std::nullopt; }
ImageMetadata metadata(const Source&) { return {}; }

}  // namespace Extraction
