#include "engine/library/part_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

namespace PartFile {

namespace {

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool write(const std::vector<std::uint8_t>& bytes, const std::filesystem::path& dest, Durability durability) {
    try {
        if (dest.empty() || !dest.has_filename()) return false;
        std::filesystem::path part = dest;
        part += ".part";
        // O_NOFOLLOW: a symbolic link planted at the temporary name fails the
        // write instead of sending the bytes elsewhere.
        const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) return false;
        bool ok = writeAll(fd, bytes.data(), bytes.size());
        if (ok && durability == Durability::render && ::fsync(fd) != 0) ok = false;
        if (::close(fd) != 0) ok = false;

        // rename() replaces the old file atomically, so readers see the old file or the
        // new one and never a gap. Only when the old entry cannot be replaced that way
        // (an empty folder in its place) is it removed first.
        if (ok && ::rename(part.c_str(), dest.c_str()) != 0) {
            std::error_code ec;
            ok = errno == EISDIR && std::filesystem::remove(dest, ec) && !ec &&
                 ::rename(part.c_str(), dest.c_str()) == 0;
        }
        if (!ok) ::unlink(part.c_str());
        return ok;
    } catch (...) {
        return false;
    }
}

}  // namespace PartFile
