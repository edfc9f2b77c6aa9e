// Reading the landmark network's tfjs weights manifest and its shard from
// arbitrary bytes: the input is the manifest, a NUL byte, then the bytes of
// the one shard file "shard1". The network loads or throws a std::exception.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/vision/landmark_network.h"

namespace {

std::filesystem::path folder() {
    static const std::filesystem::path path = [] {
        auto p = std::filesystem::temp_directory_path() / ("fuzz-landmarks-" + std::to_string(getpid()));
        std::filesystem::create_directories(p);
        return p;
    }();
    return path;
}

void write(const std::filesystem::path& file, const char* data, std::size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(data, std::streamsize(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(bytes, 0, size);
    const std::size_t split = nul ? std::size_t(static_cast<const char*>(nul) - bytes) : size;
    write(folder() / "manifest.json", bytes, split);
    write(folder() / "shard1", bytes + std::min(size, split + 1), size - std::min(size, split + 1));
    try {
        LandmarkNetwork::load(folder() / "manifest.json");
    } catch (const std::exception&) {
    }
    return 0;
}
