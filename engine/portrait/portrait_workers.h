#pragma once
// Small helpers shared by the components that run external portrait workers:
// their environment variables, path checks, fresh names and scratch cleanup.

#include <filesystem>
#include <string>

namespace PortraitWorkers {

// The value of an environment variable, empty when it is unset.
std::string variable(const char* name);

// The text begins with "/".
bool isAbsolute(const std::string& path);

// An existing regular file (symbolic links followed) that this process may execute.
bool isExecutableFile(const std::string& path);

// The path made absolute (against the current folder) and normalised on its
// text: "." and ".." steps resolved, repeated and trailing "/" removed; no
// symbolic link is followed.
std::filesystem::path standardised(const std::filesystem::path& path);

// `path` (standardised) lies inside `folder` (standardised): its text begins
// with the folder's text followed by "/".
bool isInside(const std::filesystem::path& path, const std::filesystem::path& folder);

// Creates the folder and any missing parents with permissions 0700 (an
// existing folder is left as it is). Throws std::filesystem::filesystem_error.
void createPrivateFolders(const std::filesystem::path& folder);

// A fresh UUID in its canonical upper-case text form.
std::string newUUID();

// Removes a file or a folder with everything in it when it goes out of scope.
class RemovedAtExit {
public:
    explicit RemovedAtExit(std::filesystem::path path) : path_(std::move(path)) {}
    ~RemovedAtExit();
    RemovedAtExit(const RemovedAtExit&) = delete;
    RemovedAtExit& operator=(const RemovedAtExit&) = delete;

private:
    std::filesystem::path path_;
};

}  // namespace PortraitWorkers
