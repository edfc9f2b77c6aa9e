// HEIF image sequences (brand msf1: burst and animated pictures) keep their
// pictures as samples of a track instead of items, which libheif does not read.
// The first sample of the first HEVC track is wrapped here as the single item of
// a small HEIF file in memory, so that it is decoded like any other HEIC picture.

#include <cstring>
#include <string>

#include "engine/library/open_file.h"
#include "engine/library/source_state.h"

namespace Extraction {

namespace {

constexpr std::uint64_t maxMovieBox = 16u << 20;
constexpr std::uint64_t maxSample = 256u << 20;

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// One box inside a byte range: where its content starts and ends.
struct Box {
    std::string type;
    std::size_t begin = 0;  // first byte of the content
    std::size_t end = 0;    // one past the last byte
};

std::vector<Box> childrenOf(const std::vector<std::uint8_t>& b, std::size_t begin, std::size_t end) {
    std::vector<Box> boxes;
    std::size_t at = begin;
    while (at + 8 <= end) {
        std::uint64_t size = be32(b.data() + at);
        std::size_t header = 8;
        if (size == 1) {
            if (at + 16 > end) break;
            size = std::uint64_t(be32(b.data() + at + 8)) << 32 | be32(b.data() + at + 12);
            header = 16;
        } else if (size == 0) {
            size = end - at;
        }
        if (size < header || size > end - at) break;
        boxes.push_back({std::string(reinterpret_cast<const char*>(b.data() + at + 4), 4), at + header,
                         at + static_cast<std::size_t>(size)});
        at += static_cast<std::size_t>(size);
    }
    return boxes;
}

std::optional<Box> child(const std::vector<std::uint8_t>& b, const Box& parent, const char* type, std::size_t skip = 0) {
    for (const Box& box : childrenOf(b, parent.begin + skip, parent.end))
        if (box.type == type) return box;
    return std::nullopt;
}

void appendBytes(std::vector<std::uint8_t>& out, const void* bytes, std::size_t n) {
    if (n == 0) return;
    const std::size_t at = out.size();
    out.resize(at + n);
    std::memcpy(out.data() + at, bytes, n);
}
void append32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    const std::uint8_t b[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
    appendBytes(out, b, 4);
}
void append16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    const std::uint8_t b[2] = {std::uint8_t(v >> 8), std::uint8_t(v)};
    appendBytes(out, b, 2);
}
void appendText(std::vector<std::uint8_t>& out, const char* text, std::size_t n) { appendBytes(out, text, n); }

// A box around content; full boxes carry version 0 and no flags.
std::vector<std::uint8_t> box(const char* type, const std::vector<std::uint8_t>& content, bool full = false) {
    std::vector<std::uint8_t> out;
    append32(out, static_cast<std::uint32_t>(8 + (full ? 4 : 0) + content.size()));
    appendText(out, type, 4);
    if (full) append32(out, 0);
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<std::uint8_t> joined(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& part : parts) appendBytes(out, part.data(), part.size());
    return out;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> firstFrameAsHeif(const std::filesystem::path& file) {
    const OpenFile in(file);
    if (!in.isOpen()) return std::nullopt;
    const std::uint64_t fileSize = std::uint64_t(in.size());

    // The movie box, found among the top-level boxes.
    std::vector<std::uint8_t> moov;
    for (std::uint64_t at = 0; at + 8 <= fileSize;) {
        std::uint8_t header[16];
        if (!in.read(static_cast<long long>(at), header, 8)) return std::nullopt;
        std::uint64_t size = be32(header);
        std::uint64_t headerSize = 8;
        if (size == 1) {
            if (!in.read(static_cast<long long>(at + 8), header + 8, 8)) return std::nullopt;
            size = std::uint64_t(be32(header + 8)) << 32 | be32(header + 12);
            headerSize = 16;
        } else if (size == 0) {
            size = fileSize - at;
        }
        if (size < headerSize || size > fileSize - at) return std::nullopt;
        if (std::memcmp(header + 4, "moov", 4) == 0) {
            if (size > maxMovieBox) return std::nullopt;
            moov.resize(static_cast<std::size_t>(size));
            if (!in.read(static_cast<long long>(at), moov.data(), moov.size())) return std::nullopt;
            break;
        }
        at += size;
    }
    if (moov.empty()) return std::nullopt;

    const Box movie{"moov", 8, moov.size()};
    for (const Box& track : childrenOf(moov, movie.begin, movie.end)) {
        if (track.type != "trak") continue;
        auto media = child(moov, track, "mdia");
        auto info = media ? child(moov, *media, "minf") : std::nullopt;
        auto table = info ? child(moov, *info, "stbl") : std::nullopt;
        if (!table) continue;
        // The first sample description (stsd: full box header, entry count).
        auto descriptions = child(moov, *table, "stsd");
        if (!descriptions) continue;
        auto entries = childrenOf(moov, descriptions->begin + 8, descriptions->end);
        if (entries.empty() || (entries[0].type != "hvc1" && entries[0].type != "hev1")) continue;
        const Box& entry = entries[0];
        // A visual sample entry: 24 bytes, width and height, then 50 more before its boxes.
        if (entry.end - entry.begin < 78) continue;
        const std::uint32_t width = std::uint32_t(moov[entry.begin + 24]) << 8 | moov[entry.begin + 25];
        const std::uint32_t height = std::uint32_t(moov[entry.begin + 26]) << 8 | moov[entry.begin + 27];
        std::optional<Box> config, colour;
        for (const Box& b : childrenOf(moov, entry.begin + 78, entry.end)) {
            if (b.type == "hvcC" && !config) config = b;
            if (b.type == "colr" && !colour) colour = b;
        }
        if (!config || width == 0 || height == 0) continue;

        // The first sample: the start of the first chunk, its size from the size table.
        std::uint64_t offset = 0;
        if (auto chunks = child(moov, *table, "stco"); chunks && chunks->end - chunks->begin >= 12)
            offset = be32(moov.data() + chunks->begin + 8);
        else if (auto chunks64 = child(moov, *table, "co64"); chunks64 && chunks64->end - chunks64->begin >= 16)
            offset = std::uint64_t(be32(moov.data() + chunks64->begin + 8)) << 32 |
                     be32(moov.data() + chunks64->begin + 12);
        std::uint64_t length = 0;
        if (auto sizes = child(moov, *table, "stsz"); sizes && sizes->end - sizes->begin >= 12) {
            length = be32(moov.data() + sizes->begin + 4);
            if (length == 0 && sizes->end - sizes->begin >= 16) length = be32(moov.data() + sizes->begin + 12);
        }
        if (offset == 0 || length == 0 || length > maxSample || offset > fileSize || length > fileSize - offset)
            return std::nullopt;
        std::vector<std::uint8_t> sample(static_cast<std::size_t>(length));
        if (!in.read(static_cast<long long>(offset), sample.data(), sample.size())) return std::nullopt;

        auto copied = [&](const Box& b) {
            // The whole box, header included (a plain 8-byte header: the content is small).
            std::vector<std::uint8_t> out;
            append32(out, static_cast<std::uint32_t>(8 + b.end - b.begin));
            appendText(out, b.type.c_str(), 4);
            appendBytes(out, moov.data() + b.begin, b.end - b.begin);
            return out;
        };
        std::vector<std::uint8_t> ftyp;
        appendText(ftyp, "heic", 4);
        append32(ftyp, 0);
        appendText(ftyp, "mif1heic", 8);
        std::vector<std::uint8_t> hdlr(4, 0);
        appendText(hdlr, "pict", 4);
        hdlr.insert(hdlr.end(), 13, 0);  // reserved, empty name
        std::vector<std::uint8_t> pitm;
        append16(pitm, 1);
        std::vector<std::uint8_t> infe;
        append32(infe, 0x02000000);  // version 2, no flags
        append16(infe, 1);
        append16(infe, 0);
        appendText(infe, "hvc1", 4);
        infe.push_back(0);
        std::vector<std::uint8_t> iinf;
        append16(iinf, 1);
        iinf = joined({iinf, box("infe", infe)});  // infe carries its own version
        std::vector<std::uint8_t> ispe;
        append32(ispe, width);
        append32(ispe, height);
        std::vector<std::uint8_t> ipco = joined({copied(*config), box("ispe", ispe, true)});
        std::uint8_t associations = 2;
        if (colour) ipco = joined({ipco, copied(*colour)}), associations = 3;
        std::vector<std::uint8_t> ipma;
        append32(ipma, 1);
        append16(ipma, 1);
        ipma.push_back(associations);
        ipma.push_back(0x81);  // hvcC, essential
        ipma.push_back(0x02);  // ispe
        if (colour) ipma.push_back(0x03);
        std::vector<std::uint8_t> iprp = box("iprp", joined({box("ipco", ipco), box("ipma", ipma, true)}));

        // The item location is known once everything before the picture data is laid out.
        auto build = [&](std::uint32_t dataOffset) {
            std::vector<std::uint8_t> iloc;
            iloc.push_back(0x44);  // 4-byte offsets and lengths
            iloc.push_back(0x00);
            append16(iloc, 1);
            append16(iloc, 1);
            append16(iloc, 0);
            append16(iloc, 1);
            append32(iloc, dataOffset);
            append32(iloc, static_cast<std::uint32_t>(sample.size()));
            std::vector<std::uint8_t> meta = box(
                "meta", joined({box("hdlr", hdlr, true), box("pitm", pitm, true), box("iinf", iinf, true), iprp,
                                box("iloc", iloc, true)}),
                true);
            return joined({box("ftyp", ftyp), meta});
        };
        std::vector<std::uint8_t> head = build(0);
        std::vector<std::uint8_t> out = build(static_cast<std::uint32_t>(head.size() + 8));
        append32(out, static_cast<std::uint32_t>(8 + sample.size()));
        appendText(out, "mdat", 4);
        out.insert(out.end(), sample.begin(), sample.end());
        return out;
    }
    return std::nullopt;
}

}  // namespace Extraction
