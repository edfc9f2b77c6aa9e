#pragma once
// Turns one request into one result: list faces, develop into a JPEG, or
// (the common case) extract the embedded preview with its metadata.

#include <string>
#include <string_view>

#include "engine/protocol/records.h"

namespace Protocol {

// Never throws: every failure is reported in the result (`ok` false, `error`).
// Safe to call from many threads at once.
Result handle(const Request& request);

// The last component of a path as the caller wrote it: "/a/b.dng" and
// "/a/b.dng/" give "b.dng", "/" gives "/".
std::string lastPathComponent(std::string_view path);

}  // namespace Protocol
