#include "finish/carried_metadata.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "finish/records.h"
#include "jpegprofile/segments.h"

namespace Finish::CarriedMetadata {

namespace {

namespace Segments = JPEGColourProfile::Segments;

// ---- TIFF structure of an EXIF segment ------------------------------------

constexpr std::uint16_t typeShort = 3;
constexpr std::uint16_t typeLong = 4;
constexpr std::uint16_t tagOrientation = 0x0112;
constexpr std::uint16_t tagExifDirectory = 0x8769;
constexpr std::uint16_t tagPixelXDimension = 0xA002;
constexpr std::uint16_t tagPixelYDimension = 0xA003;
constexpr std::size_t entrySize = 12;

// Numbers in a TIFF structure's byte order.
struct ByteOrder {
    bool little = false;
    std::uint16_t u16(const std::uint8_t* p) const {
        return little ? std::uint16_t(p[0] | (p[1] << 8)) : std::uint16_t((p[0] << 8) | p[1]);
    }
    std::uint32_t u32(const std::uint8_t* p) const {
        const std::uint32_t a = p[0], b = p[1], c = p[2], d = p[3];
        return little ? (a | (b << 8) | (c << 16) | (d << 24)) : ((a << 24) | (b << 16) | (c << 8) | d);
    }
    void put16(std::uint8_t* p, std::uint16_t v) const {
        p[little ? 0 : 1] = std::uint8_t(v & 0xFF);
        p[little ? 1 : 0] = std::uint8_t(v >> 8);
    }
    void put32(std::uint8_t* p, std::uint32_t v) const {
        for (int i = 0; i < 4; ++i) p[little ? i : 3 - i] = std::uint8_t(v >> (8 * i));
    }
};

using Entry = std::array<std::uint8_t, entrySize>;

class Tiff {
public:
    explicit Tiff(Bytes data) : data_(std::move(data)) {
        valid_ = data_.size() >= 8 && ((data_[0] == 'I' && data_[1] == 'I') || (data_[0] == 'M' && data_[1] == 'M'));
        order_.little = valid_ && data_[0] == 'I';
        valid_ = valid_ && u16(2) == 42;
    }

    // A new structure: big-endian header with no directory yet.
    static Tiff empty() { return Tiff(Bytes{'M', 'M', 0, 42, 0, 0, 0, 0}); }

    bool valid() const { return valid_; }
    std::size_t size() const { return data_.size(); }
    Bytes take() { return std::move(data_); }

    std::uint16_t u16(std::size_t at) const { return order_.u16(data_.data() + at); }
    std::uint32_t u32(std::size_t at) const { return order_.u32(data_.data() + at); }
    void put16(std::size_t at, std::uint16_t v) { order_.put16(data_.data() + at, v); }
    void put32(std::size_t at, std::uint32_t v) { order_.put32(data_.data() + at, v); }

    // A 12-byte entry holding one SHORT or LONG value.
    Entry entry(std::uint16_t tag, std::uint16_t type, std::uint32_t value) const {
        Entry e{};
        order_.put16(e.data(), tag);
        order_.put16(e.data() + 2, type);
        order_.put32(e.data() + 4, 1);
        if (type == typeShort) order_.put16(e.data() + 8, std::uint16_t(value));
        else order_.put32(e.data() + 8, value);
        return e;
    }
    Entry entryAt(std::size_t at) const {
        Entry e{};
        std::memcpy(e.data(), data_.data() + at, entrySize);
        return e;
    }
    std::uint16_t tagOf(const Entry& e) const { return order_.u16(e.data()); }

    // Appends a directory of `entries` linking to `next`, at an even offset,
    // and returns that offset.
    std::size_t appendDirectory(const std::vector<Entry>& entries, std::uint32_t next) {
        if (data_.size() % 2) data_.push_back(0);
        const std::size_t offset = data_.size();
        data_.resize(offset + 2 + entries.size() * entrySize + 4, 0);
        put16(offset, std::uint16_t(entries.size()));
        for (std::size_t i = 0; i < entries.size(); ++i)
            std::memcpy(data_.data() + offset + 2 + i * entrySize, entries[i].data(), entrySize);
        put32(offset + 2 + entries.size() * entrySize, next);
        return offset;
    }

private:
    Bytes data_;
    ByteOrder order_;
    bool valid_ = false;
};

struct Directory {
    std::size_t at = 0;
    std::uint16_t count = 0;
    std::uint32_t next = 0;
    std::size_t entry(std::size_t index) const { return at + 2 + index * entrySize; }
};

std::optional<Directory> directoryAt(const Tiff& tiff, std::uint32_t offset) {
    if (offset < 8 || std::size_t(offset) + 2 > tiff.size()) return std::nullopt;
    Directory directory{offset, tiff.u16(offset), 0};
    const std::size_t end = directory.entry(directory.count);
    if (end > tiff.size()) return std::nullopt;
    // Some writers leave out the last directory's link to the next one.
    if (end + 4 <= tiff.size()) directory.next = tiff.u32(end);
    return directory;
}

std::optional<std::size_t> entryOf(const Tiff& tiff, const Directory& directory, std::uint16_t tag) {
    for (std::size_t i = 0; i < directory.count; ++i)
        if (tiff.u16(directory.entry(i)) == tag) return directory.entry(i);
    return std::nullopt;
}

// Overwrites the single value of the entry at `entry`. A one-value SHORT that
// holds it or a one-value LONG keeps its type; anything else becomes one
// value of `preferred` (LONG when the value does not fit a SHORT), written
// into the entry itself.
void setValue(Tiff& tiff, std::size_t entry, std::uint16_t preferred, std::uint32_t value) {
    const std::uint16_t type = tiff.u16(entry + 2);
    const std::uint32_t count = tiff.u32(entry + 4);
    if (count == 1 && type == typeShort && value <= 0xFFFF) {
        tiff.put16(entry + 8, std::uint16_t(value));
    } else if (count == 1 && type == typeLong) {
        tiff.put32(entry + 8, value);
    } else {
        const std::uint16_t written = preferred == typeShort && value <= 0xFFFF ? typeShort : typeLong;
        tiff.put16(entry + 2, written);
        tiff.put32(entry + 4, 1);
        tiff.put32(entry + 8, 0);
        if (written == typeShort) tiff.put16(entry + 8, std::uint16_t(value));
        else tiff.put32(entry + 8, value);
    }
}

// Writes `directory` (or a new, empty one) again at the end of the structure
// with the `added` entries in tag order, and returns the copy's offset. The
// old directory's bytes stay where they were, unreferenced.
std::size_t rewriteWith(Tiff& tiff, const std::optional<Directory>& directory, const std::vector<Entry>& added) {
    std::vector<Entry> entries;
    if (directory)
        for (std::size_t i = 0; i < directory->count; ++i) entries.push_back(tiff.entryAt(directory->entry(i)));
    entries.insert(entries.end(), added.begin(), added.end());
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const Entry& a, const Entry& b) { return tiff.tagOf(a) < tiff.tagOf(b); });
    return tiff.appendDirectory(entries, directory ? directory->next : 0);
}

// ---- XMP packet ------------------------------------------------------------

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The prefixes that `packet` binds to the namespace `uri`.
std::vector<std::string> prefixesOf(const std::string& packet, std::string_view uri) {
    std::vector<std::string> prefixes;
    for (std::size_t at = packet.find("xmlns:"); at != std::string::npos; at = packet.find("xmlns:", at + 1)) {
        std::size_t p = at + 6;
        const std::size_t nameEnd = packet.find_first_of("= \t\r\n", p);
        if (nameEnd == std::string::npos || nameEnd == p) continue;
        const std::string name = packet.substr(p, nameEnd - p);
        p = nameEnd;
        while (p < packet.size() && isSpace(packet[p])) ++p;
        if (p >= packet.size() || packet[p] != '=') continue;
        ++p;
        while (p < packet.size() && isSpace(packet[p])) ++p;
        if (p >= packet.size() || (packet[p] != '"' && packet[p] != '\'')) continue;
        const char quote = packet[p];
        const std::size_t valueEnd = packet.find(quote, p + 1);
        if (valueEnd == std::string::npos) continue;
        if (std::string_view(packet).substr(p + 1, valueEnd - p - 1) == uri &&
            std::find(prefixes.begin(), prefixes.end(), name) == prefixes.end())
            prefixes.push_back(name);
    }
    return prefixes;
}

// Sets every value of the property `qualified` (prefix:name), written as an
// attribute (qualified="v") or as a simple element (<qualified>v</qualified>),
// to `value`. Returns the change in length.
long setProperty(std::string& packet, const std::string& qualified, const std::string& value) {
    long delta = 0;
    std::size_t at = 0;
    while ((at = packet.find(qualified, at)) != std::string::npos) {
        const std::size_t after = at + qualified.size();
        if (at == 0 || after >= packet.size()) {
            at = after;
            continue;
        }
        const char before = packet[at - 1];
        std::size_t from = std::string::npos, to = std::string::npos;
        if (before == '<') {
            // <qualified>value</qualified>
            std::size_t p = after;
            while (p < packet.size() && isSpace(packet[p])) ++p;
            if (p < packet.size() && packet[p] == '>') {
                const std::size_t close = packet.find('<', p + 1);
                if (close != std::string::npos && packet.compare(close, 2 + qualified.size(), "</" + qualified) == 0) {
                    from = p + 1;
                    to = close;
                }
            }
        } else if (isSpace(before)) {
            // qualified="value"
            std::size_t p = after;
            while (p < packet.size() && isSpace(packet[p])) ++p;
            if (p < packet.size() && packet[p] == '=') {
                ++p;
                while (p < packet.size() && isSpace(packet[p])) ++p;
                if (p < packet.size() && (packet[p] == '"' || packet[p] == '\'')) {
                    const std::size_t close = packet.find(packet[p], p + 1);
                    if (close != std::string::npos) {
                        from = p + 1;
                        to = close;
                    }
                }
            }
        }
        if (from == std::string::npos) {
            at = after;
            continue;
        }
        delta += long(value.size()) - long(to - from);
        packet.replace(from, to - from, value);
        at = from + value.size();
    }
    return delta;
}

// ---- Segments ----------------------------------------------------------------

constexpr std::string_view exifHeader{"Exif\0\0", 6};
constexpr std::string_view xmpHeader{"http://ns.adobe.com/xap/1.0/\0", 29};

bool isMetadataSegment(std::uint8_t code) { return (code >= 0xE0 && code <= 0xEF) || code == 0xFE; }

std::span<const std::uint8_t> payloadOf(std::span<const std::uint8_t> bytes, const Segments::Segment& s) {
    return bytes.subspan(s.codeAt + 3, s.end - s.codeAt - 3);
}

bool startsWith(std::span<const std::uint8_t> payload, std::string_view header) {
    return payload.size() >= header.size() && std::memcmp(payload.data(), header.data(), header.size()) == 0;
}

// JFIF APP0 and Adobe APP14: they tell a decoder how the scan's colours are coded.
bool isCodingSegment(std::span<const std::uint8_t> bytes, const Segments::Segment& s) {
    const auto payload = payloadOf(bytes, s);
    return (s.code == 0xE0 && startsWith(payload, std::string_view("JFIF\0", 5))) ||
           (s.code == 0xEE && startsWith(payload, "Adobe"));
}

// The multi-picture index (APP2 "MPF"): offsets of pictures after this one.
bool isPictureIndex(std::span<const std::uint8_t> bytes, const Segments::Segment& s) {
    return s.code == 0xE2 && startsWith(payloadOf(bytes, s), std::string_view("MPF\0", 4));
}

void appendSegment(Bytes& out, std::uint8_t code, std::string_view header, const std::uint8_t* body, std::size_t size) {
    const std::size_t length = 2 + header.size() + size;
    if (length > 0xFFFF) throw FinishFailure("Could not preserve delivery metadata");
    out.push_back(0xFF);
    out.push_back(code);
    out.push_back(std::uint8_t(length >> 8));
    out.push_back(std::uint8_t(length & 0xFF));
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), body, body + size);
}

Bytes exifSegment(const Bytes& tiff, std::uint32_t width, std::uint32_t height) {
    const auto upright = uprightExif(tiff, width, height);
    if (!upright) throw FinishFailure("Could not normalize delivery metadata");
    Bytes segment;
    appendSegment(segment, 0xE1, exifHeader, upright->data(), upright->size());
    return segment;
}

}  // namespace

std::optional<Bytes> uprightExif(const Bytes& tiffBytes, std::uint32_t width, std::uint32_t height) {
    const bool fresh = tiffBytes.empty();
    Tiff tiff = fresh ? Tiff::empty() : Tiff(tiffBytes);
    if (!tiff.valid()) return std::nullopt;
    std::optional<Directory> ifd0;
    if (!fresh) {
        ifd0 = directoryAt(tiff, tiff.u32(4));
        if (!ifd0) return std::nullopt;
    }
    std::vector<Entry> ifd0Added;

    // The EXIF directory's pixel dimensions.
    // No entry sits at offset 0 (the header does).
    const std::size_t noEntry = 0;
    const std::size_t exifPointer = ifd0 ? entryOf(tiff, *ifd0, tagExifDirectory).value_or(noEntry) : noEntry;
    std::optional<Directory> exif;
    if (exifPointer != noEntry) {
        const bool isShort = tiff.u16(exifPointer + 2) == typeShort;
        exif = directoryAt(tiff, isShort ? tiff.u16(exifPointer + 8) : tiff.u32(exifPointer + 8));
        if (!exif) return std::nullopt;
    }
    std::vector<Entry> exifAdded;
    for (const auto& [tag, value] : {std::pair{tagPixelXDimension, width}, std::pair{tagPixelYDimension, height}}) {
        const auto entry = exif ? entryOf(tiff, *exif, tag) : std::nullopt;
        if (entry) setValue(tiff, *entry, typeLong, value);
        else exifAdded.push_back(tiff.entry(tag, typeLong, value));
    }
    if (!exifAdded.empty()) {
        const std::size_t moved = rewriteWith(tiff, exif, exifAdded);
        if (exifPointer != noEntry) setValue(tiff, exifPointer, typeLong, std::uint32_t(moved));
        else ifd0Added.push_back(tiff.entry(tagExifDirectory, typeLong, std::uint32_t(moved)));
    }

    // IFD0's orientation.
    const auto orientation = ifd0 ? entryOf(tiff, *ifd0, tagOrientation) : std::nullopt;
    if (orientation) setValue(tiff, *orientation, typeShort, 1);
    else ifd0Added.push_back(tiff.entry(tagOrientation, typeShort, 1));
    if (!ifd0Added.empty()) tiff.put32(4, std::uint32_t(rewriteWith(tiff, ifd0, ifd0Added)));

    if (tiff.size() > maxExifBytes) return std::nullopt;
    return tiff.take();
}

std::string uprightXMP(std::string packet, std::uint32_t width, std::uint32_t height) {
    long delta = 0;
    for (const auto& prefix : prefixesOf(packet, "http://ns.adobe.com/tiff/1.0/"))
        delta += setProperty(packet, prefix + ":Orientation", "1");
    for (const auto& prefix : prefixesOf(packet, "http://ns.adobe.com/exif/1.0/")) {
        delta += setProperty(packet, prefix + ":PixelXDimension", std::to_string(width));
        delta += setProperty(packet, prefix + ":PixelYDimension", std::to_string(height));
    }
    // The padding is the white space just before the packet's trailer.
    const std::size_t trailer = packet.rfind("<?xpacket end=");
    if (delta == 0 || trailer == std::string::npos) return packet;
    if (delta < 0) {
        packet.insert(trailer, std::size_t(-delta), ' ');
    } else {
        std::size_t padding = trailer;
        while (padding > 0 && trailer - padding < std::size_t(delta) && isSpace(packet[padding - 1])) --padding;
        packet.erase(padding, trailer - padding);
    }
    return packet;
}

Bytes carry(const Bytes& delivered, const Bytes& render, std::uint32_t width, std::uint32_t height, Coding coding) {
    const std::span<const std::uint8_t> d(delivered), r(render);
    if (delivered.size() < 2 || render.size() < 2 || delivered[0] != 0xFF || delivered[1] != 0xD8 ||
        render[0] != 0xFF || render[1] != 0xD8)
        throw FinishFailure("Could not preserve delivery metadata");

    // The delivered file's metadata segments, in their order; the first EXIF
    // and the first XMP segment upright.
    Bytes carried;
    bool exifSeen = false, xmpSeen = false;
    // A new EXIF segment goes after the leading APP0 segments.
    bool leadingAPP0 = true;
    std::size_t exifAt = 0;
    const auto deliveredWalk = Segments::walk(d, [&](const Segments::Segment& s) {
        if (!isMetadataSegment(s.code) || Segments::isICCChunk(d, s) || isPictureIndex(d, s)) return;
        if (coding == Coding::render && isCodingSegment(d, s)) return;
        const auto payload = payloadOf(d, s);
        if (leadingAPP0 && s.code != 0xE0) {
            exifAt = carried.size();
            leadingAPP0 = false;
        }
        if (!exifSeen && s.code == 0xE1 && startsWith(payload, exifHeader)) {
            exifSeen = true;
            const Bytes segment = exifSegment(Bytes(payload.begin() + exifHeader.size(), payload.end()), width, height);
            carried.insert(carried.end(), segment.begin(), segment.end());
        } else if (!xmpSeen && s.code == 0xE1 && startsWith(payload, xmpHeader)) {
            xmpSeen = true;
            const std::string packet(payload.begin() + xmpHeader.size(), payload.end());
            const std::string upright = uprightXMP(packet, width, height);
            if (upright == packet) {
                carried.insert(carried.end(), d.begin() + s.start, d.begin() + s.end);
            } else {
                appendSegment(carried, 0xE1, xmpHeader, reinterpret_cast<const std::uint8_t*>(upright.data()),
                              upright.size());
            }
        } else {
            carried.insert(carried.end(), d.begin() + s.start, d.begin() + s.end);
        }
    });
    if (deliveredWalk.fault != Segments::Fault::none || !deliveredWalk.terminator)
        throw FinishFailure("Could not preserve delivery metadata");
    if (leadingAPP0) exifAt = carried.size();
    if (!exifSeen) {
        const Bytes segment = exifSegment({}, width, height);
        carried.insert(carried.begin() + std::ptrdiff_t(exifAt), segment.begin(), segment.end());
    }

    // The render's tables and frame (and its coding segments when asked),
    // then its compressed image as it is.
    Bytes result;
    result.reserve(2 + carried.size() + render.size());
    result.push_back(0xFF);
    result.push_back(0xD8);
    result.insert(result.end(), carried.begin(), carried.end());
    const auto renderWalk = Segments::walk(r, [&](const Segments::Segment& s) {
        if (isMetadataSegment(s.code) && !(coding == Coding::render && isCodingSegment(r, s))) return;
        result.insert(result.end(), r.begin() + s.start, r.begin() + s.end);
    });
    if (renderWalk.fault != Segments::Fault::none || !renderWalk.terminator)
        throw FinishFailure("Could not preserve delivery metadata");
    result.insert(result.end(), r.begin() + *renderWalk.terminator, r.end());
    return result;
}

}  // namespace Finish::CarriedMetadata
