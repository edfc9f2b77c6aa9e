#pragma once
// Reading DNG camera profile (DCP) files: the profile name, the tone curve,
// the look table and the hue/saturation map. Nothing else in the file is used.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace CameraProfile {

// Divisions of a hue/saturation/value table.
struct TableDims {
    std::uint32_t hue = 0;
    std::uint32_t sat = 0;
    std::uint32_t val = 0;

    bool operator==(const TableDims&) const = default;
};

struct DCP {
    std::string name;                 // ProfileName
    std::vector<double> toneCurve;    // alternating x, y
    TableDims lookDims;
    std::vector<float> lookTable;     // entries of (hue shift°, sat scale, val scale)
    std::uint32_t lookEncoding = 0;   // 1: the value axis is sRGB-encoded
    TableDims hueSatDims;
    std::vector<float> hueSatTable;   // the map of the second calibration illuminant
    std::uint32_t hueSatEncoding = 0;

    // Reads a DCP file; nothing when it cannot be read, is not a DCP, has a
    // truncated directory, or lacks a tone curve or both tables.
    static std::optional<DCP> parse(const std::filesystem::path& file);
    // The same from the file's bytes.
    static std::optional<DCP> parse(std::span<const std::uint8_t> bytes);
};

// TIFF tag numbers the reader takes.
namespace DCPTag {
inline constexpr std::uint16_t profileName = 50936;
inline constexpr std::uint16_t hueSatMapDims = 50937;
inline constexpr std::uint16_t hueSatMapData2 = 50939;
inline constexpr std::uint16_t toneCurve = 50940;
inline constexpr std::uint16_t lookTableDims = 50981;
inline constexpr std::uint16_t lookTableData = 50982;
inline constexpr std::uint16_t hueSatMapEncoding = 51107;
inline constexpr std::uint16_t lookTableEncoding = 51108;
}  // namespace DCPTag

}  // namespace CameraProfile
