#pragma once
// The handoff itself: from the request on standard input to the exit status.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "handoff/request.h"

namespace Handoff {

// How long the opening of the photos may take.
inline constexpr std::chrono::milliseconds waitLimit = std::chrono::seconds(30);

// What the program writes and its exit status.
struct Outcome {
    int status = 0;   // 0 on success (also after --validate), 1 on any failure
    std::string out;  // standard output: the path list after --validate
    std::string err;  // standard error: at most one message and its line feed
};

// Opens the request's photos with its application on a worker thread and
// waits for the first of two events: the opening ends, or `limit` passes.
// Throws Failure "Could not open Lightroom Import: " and the system's reason,
// or "macOS did not finish opening the Lightroom photo request" after the
// limit. A worker that loses the race is left to end on its own.
void openWithin(const Request& request, std::chrono::milliseconds limit);

// One run over the program's arguments (without the program name) and the
// whole of its standard input.
Outcome run(const std::vector<std::string>& arguments, std::string_view input,
            std::chrono::milliseconds limit = waitLimit);

}  // namespace Handoff
