// Opening a photo file and making its preview from arbitrary bytes, as the
// library does it with LibRaw, libheif and Exiv2: the file is opened or not,
// and an opened one gives its metadata and a preview or nothing. The first
// byte picks the file name's extension (rendered or RAW routes); the rest is
// the file, written to a temporary file because the libraries take a path.
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/library/extraction.h"

namespace {

const std::array<const char*, 8> extensions = {".jpg", ".heic", ".dng", ".cr3", ".cr2", ".nef", ".arw", ".crw"};

std::filesystem::path file(const char* extension) {
    return std::filesystem::temp_directory_path() / ("fuzz-photo-" + std::to_string(getpid()) + extension);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const auto path = file(extensions[data[0] % extensions.size()]);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data + 1), std::streamsize(size - 1));
    }
    if (const auto source = Extraction::open(path)) {
        (void)Extraction::metadata(*source);
        const bool rendered = Extraction::isRendered(path);
        (void)Extraction::preview(*source, 64, rendered, true);
        if (rendered) (void)Extraction::decodeRendered(*source, 64, true);
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return 0;
}
