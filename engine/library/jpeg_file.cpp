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
#include "engine/library/part_file.h"
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
        auto bytes = Imaging::encodeJPEG(image, Imaging::JPEGEncoding{Imaging::jpegQuality(quality, 0.82)});
        if (bytes && !profile.empty()) bytes = JPEGColourProfile::embed(profile, *bytes);
        if (!bytes) return std::nullopt;

        if (!PartFile::write(*bytes, url, PartFile::Durability::cache)) return std::nullopt;
        return static_cast<long long>(bytes->size());
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace Extraction
