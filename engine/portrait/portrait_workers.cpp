#include "engine/portrait/portrait_workers.h"

#include <cstdlib>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace PortraitWorkers {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

bool isAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

bool isExecutableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::filesystem::path standardised(const std::filesystem::path& path) {
    std::error_code ignored;
    std::filesystem::path absolute = path.is_absolute() ? path : std::filesystem::absolute(path, ignored);
    std::string text = absolute.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder) {
    const std::string prefix = folder.string() == "/" ? "/" : folder.string() + "/";
    const std::string text = path.string();
    return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

void createPrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path built;
    for (const auto& part : folder) {
        built /= part;
        if (built == built.root_path()) continue;
        if (::mkdir(built.c_str(), 0700) == 0) continue;
        const int error = errno;
        struct stat info {};
        if (error == EEXIST && ::stat(built.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        throw std::filesystem::filesystem_error("Could not create folder", built,
                                                std::error_code(error == EEXIST ? ENOTDIR : error, std::generic_category()));
    }
}

std::string newUUID() {
    uuid_t value;
    uuid_generate_random(value);
    char text[37];
    uuid_unparse_upper(value, text);
    return text;
}

RemovedAtExit::~RemovedAtExit() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace PortraitWorkers
