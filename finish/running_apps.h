#pragma once
// Whether the catalogue application is running, from the system's process list.

#include <optional>
#include <string_view>

namespace Finish {

// The catalogue application's identifier; a process whose command line
// contains it counts as the application.
inline constexpr std::string_view lightroomIdentifier = "com.adobe.LightroomClassicCC7";

// Whether some live process's command line contains `identifier`; nothing
// when the process list cannot be read or is empty.
std::optional<bool> applicationRunning(std::string_view identifier);

}  // namespace Finish
