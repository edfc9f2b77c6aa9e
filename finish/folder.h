#pragma once
// Descriptor-relative access to a delivery folder: every file is named relative
// to an open directory handle, never by full path, so that a folder moved,
// replaced or swapped for a symbolic link cannot redirect an operation. Files
// are proven against receipts (FileSnapshot) before they are used, overwritten
// or removed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "finish/records.h"

namespace Finish {

using Bytes = std::vector<std::uint8_t>;

// Largest delivery file handled: 512 MiB.
inline constexpr std::int64_t maxDeliveryBytes = 536870912;

// A non-empty name other than "." and ".." without "/", "\" or NUL.
bool validName(std::string_view name);
// ".merrow-finish-" + UUID (8-4-4-4-12 hexadecimal digits, either case) + ".jpg".
bool temporaryName(std::string_view name);
// ".merrow-finish-work-" + UUID.
bool validWork(std::string_view name);

// The SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256Hex(const std::uint8_t* bytes, std::size_t size);
inline std::string sha256Hex(const Bytes& bytes) { return sha256Hex(bytes.data(), bytes.size()); }

struct VerifiedRead {
    Bytes bytes;
    FileSnapshot snapshot;
    // The file's permission bits and group, as the read found them.
    std::uint32_t permissions = 0;
    std::uint32_t group = 0;
};

// An open directory. Owns its descriptor.
class FinishFolder {
public:
    // Opens the absolute `path` (its final component must not be a symbolic
    // link); with `expected`, it must still be that directory.
    FinishFolder(const std::string& path, const std::optional<FileIdentity>& expected);
    // Takes over `fd` (closed on failure too).
    static FinishFolder opened(int fd, const std::optional<FileIdentity>& expected);

    FinishFolder(FinishFolder&& other) noexcept;
    FinishFolder& operator=(FinishFolder&& other) noexcept;
    FinishFolder(const FinishFolder&) = delete;
    FinishFolder& operator=(const FinishFolder&) = delete;
    ~FinishFolder();

    int fd() const { return fd_; }
    const FileIdentity& identity() const { return identity_; }

    // fsync of the directory.
    void sync() const;

    // Reads the whole regular, single-link file `name`, bracketed by two
    // fstat calls, and proves it against `expected` when given.
    VerifiedRead read(std::string_view name, const std::optional<FileSnapshot>& expected,
                      bool allowEmpty = false) const;

    // Overwrites the temporary file `name` in place after proving it against
    // `expected`; the data is synced before returning.
    void writeTemporary(std::string_view name, const Bytes& data, const FileSnapshot& expected) const;

    // Removes the temporary file `name` after proving it against `expected`.
    void discard(std::string_view name, const FileSnapshot& expected) const;

private:
    FinishFolder(int fd, FileIdentity identity) : fd_(fd), identity_(identity) {}
    int fd_ = -1;
    FileIdentity identity_;
};

// Opens the working directory `name` inside `folder`.
FinishFolder openWork(const FinishFolder& folder, std::string_view name,
                      const std::optional<FileIdentity>& expected);

// Empties the working directory `work` (only regular single-link files are
// accepted; nothing is removed when anything else is found) and removes it
// from `folder` under `name`, provided that name still refers to it.
void cleanWork(const FinishFolder& folder, const FinishFolder& work, std::string_view name);

}  // namespace Finish
