#pragma once
// The finisher's receipts and its error type.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Finish {

// A file's place on disk: its file system device and inode number.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A receipt for a file's content: identity, SHA-256 (64 lower-case hexadecimal
// digits) and byte count.
struct FileSnapshot {
    FileIdentity identity;
    std::string hash;
    std::int64_t size = 0;
    bool operator==(const FileSnapshot&) const = default;
};

// The finisher's own error; what() is the message shown to the user.
struct FinishFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

}  // namespace Finish
