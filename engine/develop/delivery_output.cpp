#include "engine/develop/delivery_output.h"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DeliveryOutput {

namespace {

[[noreturn]] void fail(int error) { throw std::system_error(error, std::generic_category()); }

}  // namespace

void write(const std::vector<std::uint8_t>& data, int directory) {
    struct stat info {};
    if (directory != 3 || ::fstat(directory, &info) != 0 || !S_ISDIR(info.st_mode)) throw Failure();

    const int file = ::openat(directory, fileName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0) fail(errno);
    // A file this call created and could not finish is removed again, so the
    // folder never holds a half-written render under the final name.
    const auto closeAndFail = [file, directory](int error) {
        ::close(file);
        ::unlinkat(directory, fileName, 0);
        fail(error);
    };
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(file, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) closeAndFail(n < 0 ? errno : EIO);
        written += std::size_t(n);
    }
    if (::fsync(file) != 0) closeAndFail(errno);
    if (::fsync(directory) != 0) closeAndFail(errno);
    if (::close(file) != 0) {
        const int error = errno;
        ::unlinkat(directory, fileName, 0);
        fail(error);
    }
}

}  // namespace DeliveryOutput
