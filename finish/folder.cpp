#include "finish/folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

#include <openssl/evp.h>

#include <cerrno>
#include <memory>
#include <utility>

#include "finish/descriptor.h"

namespace Finish {

namespace {

constexpr std::string_view temporaryPrefix = ".merrow-finish-";
constexpr std::string_view temporarySuffix = ".jpg";
constexpr std::string_view workPrefix = ".merrow-finish-work-";
constexpr std::size_t readStep = 1 << 20;


bool isUUID(std::string_view text) {
    if (text.size() != 36) return false;
    for (char c : text)
        if (c == '\0') return false;
    uuid_t parsed;
    return uuid_parse(std::string(text).c_str(), parsed) == 0;
}

FileIdentity identityOf(const struct stat& st) {
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

bool sameTimes(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool fsyncDescriptor(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace

bool validName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

bool temporaryName(std::string_view name) {
    if (name.size() != temporaryPrefix.size() + 36 + temporarySuffix.size()) return false;
    if (!name.starts_with(temporaryPrefix) || !name.ends_with(temporarySuffix)) return false;
    return isUUID(name.substr(temporaryPrefix.size(), 36));
}

bool validWork(std::string_view name) {
    return name.size() == workPrefix.size() + 36 && name.starts_with(workPrefix) &&
           isUUID(name.substr(workPrefix.size()));
}

std::string sha256Hex(const std::uint8_t* bytes, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(bytes, size, digest, &length, EVP_sha256(), nullptr) || length != 32)
        throw FinishFailure("Could not read delivery JPEG");
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 15]);
    }
    return text;
}

FinishFolder::FinishFolder(const std::string& path, const std::optional<FileIdentity>& expected) {
    if (path.empty() || path[0] != '/') throw FinishFailure("An absolute delivery folder is required");
    *this = opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), expected);
}

FinishFolder FinishFolder::opened(int fd, const std::optional<FileIdentity>& expected) {
    if (fd < 0) throw FinishFailure("Delivery folder is unavailable");
    Descriptor owned(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw FinishFailure("Cannot inspect delivery folder");
    const FileIdentity identity = identityOf(st);
    if (expected && *expected != identity) throw FinishFailure("Delivery folder was replaced");
    return FinishFolder(owned.release(), identity);
}

FinishFolder::FinishFolder(FinishFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), identity_(other.identity_) {}

FinishFolder& FinishFolder::operator=(FinishFolder&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        identity_ = other.identity_;
    }
    return *this;
}

FinishFolder::~FinishFolder() {
    if (fd_ >= 0) ::close(fd_);
}

void FinishFolder::sync() const {
    if (!fsyncDescriptor(fd_)) throw FinishFailure("Cannot synchronize delivery folder");
}

VerifiedRead FinishFolder::read(std::string_view name, const std::optional<FileSnapshot>& expected,
                                bool allowEmpty) const {
    if (!validName(name)) throw FinishFailure("Invalid delivery filename");
    // O_NONBLOCK keeps a FIFO put in place of the file from stalling the open;
    // it is refused by the type check below.
    Descriptor file(::openat(fd_, std::string(name).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) throw FinishFailure("Delivery file is missing or is a link");

    struct stat before {};
    if (::fstat(file.get(), &before) != 0 || !S_ISREG(before.st_mode) || before.st_nlink != 1 ||
        before.st_size < (allowEmpty ? 0 : 1) || before.st_size > maxDeliveryBytes)
        throw FinishFailure("Delivery JPEG must be a regular, unlinked file below 512 MiB");

    VerifiedRead result;
    result.bytes.reserve(std::size_t(before.st_size) + readStep);
    std::size_t total = 0;
    for (;;) {
        result.bytes.resize(total + readStep);
        const ssize_t n = ::read(file.get(), result.bytes.data() + total, readStep);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw FinishFailure("Could not read delivery JPEG");
        }
        if (n == 0) break;
        total += std::size_t(n);
        if (total > std::size_t(maxDeliveryBytes)) throw FinishFailure("Delivery JPEG grew during reading");
    }
    result.bytes.resize(total);

    struct stat after {};
    if (::fstat(file.get(), &after) != 0 || after.st_dev != before.st_dev || after.st_ino != before.st_ino ||
        after.st_size != before.st_size || !sameTimes(after.st_mtim, before.st_mtim) ||
        !sameTimes(after.st_ctim, before.st_ctim) || total != std::size_t(before.st_size))
        throw FinishFailure("Delivery JPEG changed during reading");

    result.snapshot = {identityOf(before), sha256Hex(result.bytes), std::int64_t(total)};
    result.permissions = std::uint32_t(before.st_mode & 0777);
    result.group = std::uint32_t(before.st_gid);
    if (expected && !(expected->identity == result.snapshot.identity && expected->hash == result.snapshot.hash &&
                      expected->size == result.snapshot.size))
        throw FinishFailure("Delivery JPEG changed");
    return result;
}

void FinishFolder::writeTemporary(std::string_view name, const Bytes& data, const FileSnapshot& expected) const {
    if (!temporaryName(name)) throw FinishFailure("Invalid Finish temporary file");
    read(name, expected);
    Descriptor file(::openat(fd_, std::string(name).c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.get() < 0) throw FinishFailure("Cannot open Finish temporary file");
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || identityOf(st) != expected.identity || st.st_nlink != 1 ||
        !S_ISREG(st.st_mode) || ::ftruncate(file.get(), 0) != 0)
        throw FinishFailure("Finish temporary file changed");
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(file.get(), data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 1) throw FinishFailure("Could not write Finish temporary file");
        written += std::size_t(n);
    }
    if (!fsyncDescriptor(file.get())) throw FinishFailure("Could not synchronize Finish temporary file");
}

void FinishFolder::discard(std::string_view name, const FileSnapshot& expected) const {
    if (!temporaryName(name)) throw FinishFailure("Only a Finish temporary file may be removed");
    read(name, expected, true);
    if (::unlinkat(fd_, std::string(name).c_str(), 0) != 0) throw FinishFailure("Cannot remove Finish temporary file");
    sync();
}

FinishFolder openWork(const FinishFolder& folder, std::string_view name, const std::optional<FileIdentity>& expected) {
    if (!validWork(name)) throw FinishFailure("Invalid Finish working directory");
    return FinishFolder::opened(
        ::openat(folder.fd(), std::string(name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC), expected);
}

void cleanWork(const FinishFolder& folder, const FinishFolder& work, std::string_view name) {
    const int copy = ::fcntl(work.fd(), F_DUPFD_CLOEXEC, 0);
    DIR* opened = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!opened) {
        if (copy >= 0) ::close(copy);
        throw FinishFailure("Cannot inspect Finish working directory");
    }
    std::unique_ptr<DIR, int (*)(DIR*)> stream(opened, &::closedir);
    ::rewinddir(stream.get());

    // Every entry is checked before anything is removed, so a working directory
    // holding anything unexpected is left exactly as it is.
    std::vector<std::string> files;
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        const std::string_view entryName(entry->d_name);
        if (entryName == "." || entryName == "..") continue;
        struct stat st {};
        if (::fstatat(work.fd(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            st.st_nlink != 1)
            throw FinishFailure("Unexpected link or directory in Finish working space");
        files.emplace_back(entryName);
        errno = 0;
    }
    if (errno != 0) throw FinishFailure("Cannot inspect Finish working directory");
    for (const auto& file : files) {
        if (::unlinkat(work.fd(), file.c_str(), 0) != 0) throw FinishFailure("Cannot clean Finish working file");
    }
    work.sync();

    struct stat st {};
    const std::string entry(name);
    if (::fstatat(folder.fd(), entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || identityOf(st) != work.identity() ||
        ::unlinkat(folder.fd(), entry.c_str(), AT_REMOVEDIR) != 0)
        throw FinishFailure("Finish working directory changed");
    folder.sync();
}

}  // namespace Finish
