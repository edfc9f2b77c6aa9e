#pragma once
// The delivered file's metadata segments carried onto a render, byte for byte.
//
// Every APPn and comment segment of the delivered file's header travels as it
// is, except its ICC chunks (the colour profile is embedded on its own) and its
// multi-picture index (it points at images that follow the delivered picture,
// which the render does not have). The render keeps its tables, frame and
// compressed image; its own metadata segments are left out. Only three values
// change: the orientation becomes 1 and the EXIF pixel dimensions become the
// render's size, in IFD0 and the EXIF directory and, where the XMP packet
// states them, in the XMP.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Finish::CarriedMetadata {

using Bytes = std::vector<std::uint8_t>;

// Most bytes the TIFF structure of one EXIF APP1 segment can hold: 65535 minus
// the length field and the 6-byte "Exif\0\0" header.
inline constexpr std::size_t maxExifBytes = 65527;

// The TIFF structure of an EXIF segment (the bytes after "Exif\0\0") with IFD0
// Orientation 1 and the EXIF directory's PixelXDimension and PixelYDimension
// set to `width` and `height`. A value that is there is overwritten in its
// own entry; a missing one is added by writing its directory again, with the
// new entry, at the end of the structure and pointing to that copy, so every
// other byte keeps its place and every offset stays valid. Empty input gives
// a new, minimal structure. Nothing when the structure cannot be read or would
// outgrow one segment.
std::optional<Bytes> uprightExif(const Bytes& tiff, std::uint32_t width, std::uint32_t height);

// The XMP packet with every tiff:Orientation set to 1 and every
// exif:PixelXDimension and exif:PixelYDimension set to `width` and `height`,
// whatever prefixes the packet binds to those namespaces; nothing else
// changes. When a value's text changes length, the packet's trailing padding
// takes up the difference where it can.
std::string uprightXMP(std::string packet, std::uint32_t width, std::uint32_t height);

// Where the segments that tell a decoder how the scan's colours are coded
// (JFIF APP0, Adobe APP14) come from: the delivered file like all its other
// segments, or the render, for a delivered file whose segments would make a
// decoder read the render's scan differently.
enum class Coding { delivered, render };

// The render's bytes with its metadata segments replaced by the delivered
// file's, upright and with the displayed size `width` × `height`. No ICC
// chunks: the caller embeds the profile. Throws FinishFailure: "Could not
// normalize delivery metadata" when the EXIF structure cannot be updated,
// "Could not preserve delivery metadata" when either header is not well formed
// or a segment would outgrow its length field.
Bytes carry(const Bytes& delivered, const Bytes& render, std::uint32_t width, std::uint32_t height, Coding coding);

}  // namespace Finish::CarriedMetadata
