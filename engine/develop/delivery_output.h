#pragma once
// Writing a delivery render into the working directory the Studio hands over
// as descriptor 3.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace DeliveryOutput {

// The one file written into the delivery working directory.
inline constexpr const char* fileName = "render.jpg";

// A descriptor that is not 3 or not a directory. (Operating-system failures
// are thrown as std::system_error.)
struct Failure : std::runtime_error {
    static constexpr const char* domain = "StudioDelivery";
    static constexpr int code = 1;
    Failure() : std::runtime_error("Invalid delivery working-directory descriptor") {}
    const char* description() const noexcept { return what(); }
};

// Creates "render.jpg" in the directory `directory` (exclusively, without
// following a symbolic link, mode 0600), writes all of `data`, and syncs the
// file and the directory. Never overwrites an existing file; never closes
// `directory`. Throws Failure or std::system_error.
void write(const std::vector<std::uint8_t>& data, int directory);

}  // namespace DeliveryOutput
