#include "finish/running_apps.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

namespace Finish {

namespace {

// The whole command line of process `pid` with its NUL separators; nothing
// when it cannot be read (the process ended meanwhile, or access is denied).
std::optional<std::string> commandLine(const char* pid) {
    const std::string path = std::string("/proc/") + pid + "/cmdline";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(chunk, std::size_t(n));
    }
    ::close(fd);
    return text;
}

bool isProcessEntry(const char* name) {
    if (!*name) return false;
    for (const char* c = name; *c; ++c)
        if (*c < '0' || *c > '9') return false;
    return true;
}

}  // namespace

std::optional<bool> applicationRunning(std::string_view identifier) {
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
    if (!proc) return std::nullopt;
    std::size_t listed = 0;
    bool running = false;
    while (const dirent* entry = ::readdir(proc.get())) {
        if (!isProcessEntry(entry->d_name)) continue;
        const auto line = commandLine(entry->d_name);
        if (!line) continue;
        ++listed;
        // A process that has exited but not been reaped has an empty command line.
        if (line->find(identifier) != std::string::npos) running = true;
    }
    if (listed == 0) return std::nullopt;
    return running;
}

}  // namespace Finish
