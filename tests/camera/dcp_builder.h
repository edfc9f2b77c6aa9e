#pragma once
// Small DCP files made by hand for the reader's edge cases: a TIFF-like
// header with its own magic, one directory, values inline or after the directory.

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace DCPBuilder {

struct Entry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> value;  // raw value bytes in the file's byte order
    // When set, the value offset written in the entry (the value is not stored).
    std::optional<std::uint32_t> forcedOffset;
};

class File {
public:
    explicit File(bool littleEndian = true) : little_(littleEndian) {}

    std::vector<std::uint8_t> u32s(const std::vector<std::uint32_t>& v) const {
        std::vector<std::uint8_t> out;
        for (auto x : v) put32(out, x);
        return out;
    }
    std::vector<std::uint8_t> floats(const std::vector<float>& v) const {
        std::vector<std::uint8_t> out;
        for (float f : v) put32(out, std::bit_cast<std::uint32_t>(f));
        return out;
    }

    File& add(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::vector<std::uint8_t> value) {
        entries.push_back({tag, type, count, std::move(value), std::nullopt});
        return *this;
    }
    File& floatsTag(std::uint16_t tag, const std::vector<float>& v) {
        return add(tag, 11, std::uint32_t(v.size()), floats(v));
    }
    File& longsTag(std::uint16_t tag, const std::vector<std::uint32_t>& v) {
        return add(tag, 4, std::uint32_t(v.size()), u32s(v));
    }
    File& name(const std::string& text) {
        std::vector<std::uint8_t> bytes(text.begin(), text.end());
        bytes.push_back(0);
        return add(50936, 2, std::uint32_t(bytes.size()), bytes);
    }

    // The file's bytes. `declaredEntries` overrides the entry count written.
    std::vector<std::uint8_t> bytes(std::optional<std::uint16_t> declaredEntries = std::nullopt) const {
        std::vector<std::uint8_t> out;
        out.push_back(little_ ? 'I' : 'M');
        out.push_back(little_ ? 'I' : 'M');
        put16(out, 0x4352);
        put32(out, 8);
        put16(out, declaredEntries.value_or(std::uint16_t(entries.size())));
        std::uint32_t data = std::uint32_t(8 + 2 + 12 * entries.size() + 4);
        std::vector<std::uint8_t> tail;
        for (const auto& e : entries) {
            put16(out, e.tag);
            put16(out, e.type);
            put32(out, e.count);
            if (e.forcedOffset) {
                put32(out, *e.forcedOffset);
            } else if (e.value.size() <= 4) {
                auto v = e.value;
                v.resize(4, 0);
                out.insert(out.end(), v.begin(), v.end());
            } else {
                put32(out, data + std::uint32_t(tail.size()));
                tail.insert(tail.end(), e.value.begin(), e.value.end());
            }
        }
        put32(out, 0);  // no next directory
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    }

    std::vector<Entry> entries;

private:
    void put16(std::vector<std::uint8_t>& out, std::uint16_t v) const {
        if (little_) out.insert(out.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
        else out.insert(out.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
    }
    void put32(std::vector<std::uint8_t>& out, std::uint32_t v) const {
        for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(v >> (little_ ? 8 * i : 24 - 8 * i)));
    }
    bool little_;
};

}  // namespace DCPBuilder
