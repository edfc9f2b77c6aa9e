#pragma once
// Writing a file so that its final name only ever holds a complete file: the
// bytes go to "<name>.part", which is then renamed over the name.

#include <cstdint>
#include <filesystem>
#include <vector>

namespace PartFile {

// How much a written file must survive a crash of the machine.
enum class Durability {
    // A picture in the Studio's preview cache: made again when lost, so it is
    // not synced (previews come by the hundred and a sync each would cost more
    // than the writing).
    cache,
    // A render the user asked for: its bytes are on the disk before the name
    // points at them, so after a crash the name holds the old file or the new
    // one, never an empty one.
    render,
};

// Writes `bytes` to `dest` through `dest` + ".part". A leftover ".part" file
// is replaced; a symbolic link at either name is never followed. An empty
// folder at `dest` gives way to the file. On failure the ".part" file is
// removed and whatever was at `dest` stays. Never throws.
bool write(const std::vector<std::uint8_t>& bytes, const std::filesystem::path& dest, Durability durability);

}  // namespace PartFile
