#pragma once
// Where the engine looks for its model files when no environment variable
// names them: a "models" folder next to the executable, one or two folders up
// (build trees), or share/merrow/models of an installed tree.

#include <filesystem>
#include <vector>

namespace Vision {

std::vector<std::filesystem::path> modelFolders();

}  // namespace Vision
