#pragma once
// A photo file opened for reading at offsets: the descriptor closed with the
// object, its size taken once at opening.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace Extraction {

class OpenFile {
public:
    explicit OpenFile(const std::filesystem::path& file) : fd_(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0) size_ = st.st_size;
    }
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    // False when the file could not be opened.
    bool isOpen() const { return fd_ >= 0; }
    long long size() const { return size_; }
    // Exactly count bytes at offset, or false.
    bool read(long long offset, std::uint8_t* into, std::size_t count) const {
        if (fd_ < 0 || offset < 0) return false;
        std::size_t done = 0;
        while (done < count) {
            ssize_t got = ::pread(fd_, into + done, count - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

private:
    int fd_ = -1;
    long long size_ = 0;
};

}  // namespace Extraction
