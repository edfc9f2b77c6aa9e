// Reading photo files whole, and writing JPEG files so that the final name only
// ever holds a complete file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "engine/library/extraction.h"
#include "engine/imaging/jpeg_encoder.h"
#include "engine/library/jpeg_codec.h"
#include "jpegprofile/jpegprofile.h"

namespace Extraction {

namespace {

// Photo files larger than this are not read into memory.
constexpr long long maxFileBytes = 2LL << 30;

struct FileDescriptor {
    int fd = -1;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes the bytes to a new or emptied file; never follows a symbolic link at that name.
bool writeFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes.data(), bytes.size());
    if (::close(fd) != 0) ok = false;
    return ok;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& file) {
    FileDescriptor in{::open(file.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0 || info.st_size > maxFileBytes)
        return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = ::read(in.fd, bytes.data() + done, bytes.size() - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) break;  // the file shrank meanwhile
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    if (bytes.empty()) return std::nullopt;
    return bytes;
}

std::optional<long long> writeJPEG(const Imaging::Bitmap& image, const std::filesystem::path& url, double quality) {
    return writeJPEG(image, url, quality, {});
}

std::optional<long long> writeJPEG(const Imaging::Bitmap& image, const std::filesystem::path& url, double quality,
                                   const std::vector<std::uint8_t>& profile) {
    try {
        if (url.empty() || !url.has_filename()) return std::nullopt;
        auto bytes = Imaging::encodeJPEG(image, Imaging::JPEGEncoding{Imaging::jpegQuality(quality, 0.82)});
        if (bytes && !profile.empty()) bytes = JPEGColourProfile::embed(profile, *bytes);
        if (!bytes) return std::nullopt;

        std::filesystem::path part = url;
        part += ".part";
        // A failed write leaves whatever reached the temporary name there.
        if (!writeFile(part, *bytes)) return std::nullopt;

        // rename() replaces the old file atomically, so readers see the old file or the
        // new one and never a gap. Only when the old entry cannot be replaced that way
        // (an empty folder in its place) is it removed first.
        std::error_code ec;
        if (::rename(part.c_str(), url.c_str()) != 0) {
            if (errno == EISDIR) std::filesystem::remove(url, ec);
            if (ec || ::rename(part.c_str(), url.c_str()) != 0) {
                std::filesystem::remove(part, ec);
                return std::nullopt;
            }
        }
        auto size = std::filesystem::file_size(url, ec);
        if (ec) return std::nullopt;
        return static_cast<long long>(size);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace Extraction
