#include "engine/camera/camera_profile.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

#include "engine/camera/colour_cube.h"
#include "engine/camera/dcp.h"

namespace CameraProfile {

namespace {

constexpr std::string_view profilesFolder = "Library/Application Support/Adobe/CameraRaw/CameraProfiles/Camera";

std::mutex cacheLock;
std::map<std::string, std::optional<Profile>> cache;

// Cubes already built, by what they are built from, so that camera models
// sharing a profile file (every camera served by the stand-in) share one cube.
std::mutex cubesLock;
std::map<std::string, std::weak_ptr<const std::vector<float>>> cubes;

std::string recipeKey(const std::filesystem::path& file, const std::string& bridgeCamera, const Skips& skips) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    const auto time = std::filesystem::last_write_time(file, error).time_since_epoch().count();
    return file.string() + "|" + std::to_string(size) + "|" + std::to_string(time) + "|" + bridgeCamera + "|" +
           (skips.look ? "l" : "") + (skips.curve ? "c" : "") + (skips.matrix ? "m" : "");
}

std::shared_ptr<const std::vector<float>> cube(const std::filesystem::path& file, const std::string& bridgeCamera,
                                               const CubeRecipe& recipe) {
    const std::string key = recipeKey(file, bridgeCamera, recipe.skips);
    {
        std::lock_guard lock(cubesLock);
        if (auto it = cubes.find(key); it != cubes.end())
            if (auto shared = it->second.lock()) return shared;
    }
    auto built = std::make_shared<const std::vector<float>>(buildCube(recipe));
    std::lock_guard lock(cubesLock);
    cubes[key] = built;
    return built;
}

std::filesystem::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

// Entry names of a folder, sorted; empty when it cannot be listed.
std::vector<std::string> listing(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<Profile> load(const std::string& model, const std::string& named) {
    const Bridge cameraBridge = bridge(model);
    const Matrix3& matrix = cameraBridge.matrix;
    for (const std::string& candidate : {flatten(model), std::string(standInCamera)}) {
        for (const auto& root : searchRoots()) {
            for (const std::string& dir : listing(root)) {
                if (flatten(dir) != candidate) continue;
                const auto file = root / dir / (dir + " " + named + ".dcp");
                const auto dcp = DCP::parse(file);
                if (dcp) {
                    CubeRecipe recipe{*dcp, matrix, skipsFromEnvironment()};
                    Profile p;
                    p.name = dir + " \u2014 " + dcp->name;
                    p.cube = cube(file, cameraBridge.camera, recipe);
                    p.cubeDimension = cubeDimension;
                    p.headroom = inputScale(matrix, recipe.skips);
                    return p;
                }
                if (named != defaultProfile) return load(model, std::string(defaultProfile));
            }
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<std::filesystem::path> searchRoots() {
    std::vector<std::filesystem::path> roots{std::filesystem::path("/") / profilesFolder};
    if (const auto home = homeFolder(); !home.empty()) roots.push_back(home / profilesFolder);
    return roots;
}

std::string profileName(const std::optional<std::string>& named) {
    if (named && std::find(knownProfiles.begin(), knownProfiles.end(), *named) != knownProfiles.end()) return *named;
    return std::string(defaultProfile);
}

std::optional<std::string> cacheKey(const std::string& cameraModel, const std::optional<std::string>& named) {
    if (cameraModel.empty()) return std::nullopt;
    return cameraModel + "|" + profileName(named);
}

std::optional<Profile> profile(const std::string& cameraModel, const std::optional<std::string>& named) {
    const auto key = cacheKey(cameraModel, named);
    if (!key) return std::nullopt;
    {
        std::lock_guard lock(cacheLock);
        if (auto it = cache.find(*key); it != cache.end()) return it->second;
    }
    auto loaded = load(cameraModel, profileName(named));
    std::lock_guard lock(cacheLock);
    cache[*key] = loaded;
    return loaded;
}

std::vector<std::string> cachedKeys() {
    std::lock_guard lock(cacheLock);
    std::vector<std::string> keys;
    for (const auto& [key, value] : cache) keys.push_back(key);
    return keys;
}

}  // namespace CameraProfile

namespace CameraProfile {

std::optional<Imaging::CubeLookup> cubeLookup(const Profile& profile) {
    const std::size_t n = std::size_t(std::max(profile.cubeDimension, 0));
    if (n < 2 || !profile.cube || profile.cube->size() != n * n * n * 4) return std::nullopt;
    return Imaging::CubeLookup(profile.cubeDimension, profile.cube->data());
}

}  // namespace CameraProfile
