#pragma once
// A walk over the marker segments of a JPEG header (ISO/IEC 10918-1), shared by
// the profile reader and the embedder.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace JPEGColourProfile::Segments {

// One marker with its segment: bytes [start, end) of the buffer, where start
// is the first FF fill byte and `code` sits at codeAt.
struct Segment {
    std::size_t start = 0;
    std::size_t codeAt = 0;
    std::uint8_t code = 0;
    std::size_t end = 0;
    // The segment's length field (counting itself); 0 for stand-alone markers.
    std::size_t length = 0;
};

enum class Fault {
    none,
    notAMarker,        // a byte other than FF where a marker should start
    incompleteHeader,  // fill bytes run to the end of the buffer
    incompleteSegment, // the length field is cut off
    badLength,         // length below 2 or past the end of the buffer
};

struct Walk {
    Fault fault = Fault::none;
    // The start (first fill byte) of the end-of-image or start-of-scan marker
    // that ended the header; nothing when the buffer ended first.
    std::optional<std::size_t> terminator;
};

inline constexpr std::uint8_t iccIdentifier[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};

// Whether the segment is an APP2 ICC chunk: APP2, length of at least 16 and a
// payload that starts with the identifier.
inline bool isICCChunk(std::span<const std::uint8_t> bytes, const Segment& s) {
    return s.code == 0xE2 && s.length >= 16 &&
           std::memcmp(bytes.data() + s.codeAt + 3, iccIdentifier, sizeof iccIdentifier) == 0;
}

// Walks the segments from offset 2 and calls visit(segment) for each marker
// before the end of image or first scan. The visitor may throw.
template <typename Visit>
Walk walk(std::span<const std::uint8_t> bytes, Visit&& visit) {
    const std::size_t size = bytes.size();
    std::size_t at = 2;
    while (at < size) {
        if (bytes[at] != 0xFF) return {Fault::notAMarker, {}};
        std::size_t code = at;
        while (code < size && bytes[code] == 0xFF) ++code;
        if (code >= size) return {Fault::incompleteHeader, {}};
        Segment s;
        s.start = at;
        s.codeAt = code;
        s.code = bytes[code];
        if (s.code == 0xD9 || s.code == 0xDA) return {Fault::none, at};
        if (s.code == 0x01 || (s.code >= 0xD0 && s.code <= 0xD7)) {
            s.end = code + 1;
        } else {
            if (size - code < 3) return {Fault::incompleteSegment, {}};
            s.length = (std::size_t(bytes[code + 1]) << 8) | bytes[code + 2];
            if (s.length < 2 || s.length > size - code - 1) return {Fault::badLength, {}};
            s.end = code + 1 + s.length;
        }
        visit(static_cast<const Segment&>(s));
        at = s.end;
    }
    return {Fault::none, {}};
}

}  // namespace JPEGColourProfile::Segments
