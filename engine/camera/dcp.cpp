#include "engine/camera/dcp.h"

#include <bit>
#include <fstream>

namespace CameraProfile {

namespace {

// Bounds-checked reads in the file's byte order. Every read is checked by its
// caller against the size first; the helpers themselves only assemble bytes.
struct Reader {
    std::span<const std::uint8_t> bytes;
    bool littleEndian = true;

    bool holds(std::uint64_t offset, std::uint64_t length) const {
        return offset <= bytes.size() && length <= bytes.size() - offset;
    }
    std::uint16_t u16(std::uint64_t at) const {
        const std::uint16_t a = bytes[at], b = bytes[at + 1];
        return littleEndian ? std::uint16_t(a | b << 8) : std::uint16_t(a << 8 | b);
    }
    std::uint32_t u32(std::uint64_t at) const {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t byte = bytes[at + (littleEndian ? 3 - i : i)];
            v = v << 8 | byte;
        }
        return v;
    }
    float f32(std::uint64_t at) const { return std::bit_cast<float>(u32(at)); }
};

std::uint64_t elementSize(std::uint16_t type) {
    switch (type) {
        case 0: return 0;
        case 3: case 8: return 2;
        case 4: case 9: case 11: return 4;
        case 5: case 10: case 12: return 8;
        default: return 1;  // BYTE, ASCII, SBYTE, UNDEFINED and unknown types
    }
}

bool isArrayTag(std::uint16_t tag) {
    switch (tag) {
        case DCPTag::hueSatMapDims: case DCPTag::hueSatMapData2: case DCPTag::toneCurve:
        case DCPTag::lookTableDims: case DCPTag::lookTableData:
        case DCPTag::hueSatMapEncoding: case DCPTag::lookTableEncoding:
            return true;
        default:
            return false;
    }
}

std::vector<std::uint32_t> integers(const Reader& r, std::uint64_t at, std::uint32_t count) {
    std::vector<std::uint32_t> out(count);
    for (std::uint32_t i = 0; i < count; ++i) out[i] = r.u32(at + 4ull * i);
    return out;
}

std::vector<float> floats(const Reader& r, std::uint64_t at, std::uint32_t count) {
    std::vector<float> out(count);
    for (std::uint32_t i = 0; i < count; ++i) out[i] = r.f32(at + 4ull * i);
    return out;
}

void takeDims(TableDims& dims, const std::vector<std::uint32_t>& v) {
    if (v.size() == 3) dims = {v[0], v[1], v[2]};
}

std::uint32_t firstOrZero(const std::vector<std::uint32_t>& v) { return v.empty() ? 0 : v[0]; }

std::string asciiName(const Reader& r, std::uint64_t at, std::uint32_t count) {
    if (count == 0) return {};
    std::string name;
    for (std::uint64_t i = 0; i + 1 < count; ++i) {
        const std::uint8_t c = r.bytes[at + i];
        if (c >= 0x80) return {};
        name.push_back(char(c));
    }
    return name;
}

}  // namespace

std::optional<DCP> DCP::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() <= 8) return std::nullopt;
    Reader r{bytes, bytes[0] == 'I'};
    if (r.u16(2) != 0x4352) return std::nullopt;
    const std::uint64_t ifd = r.u32(4);
    if (!r.holds(ifd, 2)) return std::nullopt;
    const std::uint16_t entries = r.u16(ifd);

    DCP dcp;
    for (std::uint32_t i = 0; i < entries; ++i) {
        const std::uint64_t entry = ifd + 2 + 12ull * i;
        if (!r.holds(entry, 12)) return std::nullopt;
        const std::uint16_t tag = r.u16(entry);
        const std::uint16_t type = r.u16(entry + 2);
        const std::uint32_t count = r.u32(entry + 4);
        const std::uint64_t size = count * elementSize(type);
        const std::uint64_t at = size <= 4 ? entry + 8 : r.u32(entry + 8);
        if (!r.holds(at, size)) continue;

        if (tag == DCPTag::profileName) {
            // The name is read byte by byte whatever its declared type; a type
            // of no size (0) would otherwise let count run past the file.
            dcp.name = r.holds(at, count) ? asciiName(r, at, count) : std::string();
            continue;
        }
        if (!isArrayTag(tag)) continue;
        // Array tags are read as 4-byte elements whatever their declared type;
        // when those run past the end of the file the tag is skipped.
        if (!r.holds(at, 4ull * count)) continue;
        switch (tag) {
            case DCPTag::toneCurve: {
                const auto v = floats(r, at, count);
                dcp.toneCurve.assign(v.begin(), v.end());
                break;
            }
            case DCPTag::lookTableData: dcp.lookTable = floats(r, at, count); break;
            case DCPTag::hueSatMapData2: dcp.hueSatTable = floats(r, at, count); break;
            case DCPTag::lookTableDims: takeDims(dcp.lookDims, integers(r, at, count)); break;
            case DCPTag::hueSatMapDims: takeDims(dcp.hueSatDims, integers(r, at, count)); break;
            case DCPTag::lookTableEncoding: dcp.lookEncoding = firstOrZero(integers(r, at, count)); break;
            case DCPTag::hueSatMapEncoding: dcp.hueSatEncoding = firstOrZero(integers(r, at, count)); break;
        }
    }

    if (dcp.toneCurve.empty() || (dcp.lookTable.empty() && dcp.hueSatTable.empty())) return std::nullopt;
    return dcp;
}

std::optional<DCP> DCP::parse(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
    try {
        std::ifstream in(file, std::ios::binary | std::ios::ate);
        if (!in) return std::nullopt;
        const std::streamoff size = in.tellg();
        if (size < 0) return std::nullopt;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        in.seekg(0);
        if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) return std::nullopt;
        return parse(std::span<const std::uint8_t>(bytes));
    } catch (const std::exception&) {
        return std::nullopt;  // a read error in the middle of the file
    }
}

}  // namespace CameraProfile
