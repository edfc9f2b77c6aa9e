// Placeholder definitions until folder listing lands; this file is removed then.
#include "engine/library/extraction.h"

namespace Extraction {

std::vector<Entry> listFolder(const std::filesystem::path&, bool) { return {}; }
Survey survey(const std::filesystem::path&) { return {}; }

}  // namespace Extraction
