#include "engine/vision/model_folders.h"

#include <system_error>

namespace Vision {

std::vector<std::filesystem::path> modelFolders() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const std::filesystem::path dir = exe.parent_path();
    return {
        dir / "models",
        dir.parent_path() / "models",
        dir.parent_path().parent_path() / "models",
        dir.parent_path() / "share" / "merrow" / "models",
    };
}

}  // namespace Vision
