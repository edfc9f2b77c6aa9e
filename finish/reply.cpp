#include "finish/reply.h"

namespace Finish {

bool validUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t point = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            point = c & 0x07;
        } else {
            return false;
        }
        if (text.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and points past U+10FFFF.
        if ((extra == 2 && point < 0x800) || (extra == 3 && point < 0x10000) || point > 0x10FFFF ||
            (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string jsonText(const nlohmann::json& value) {
    // nlohmann::json keeps object keys sorted. A "/" can only occur inside a
    // string of the compact text, so escaping every one of them is exact.
    const std::string compact = value.dump();
    std::string text;
    text.reserve(compact.size() + 8);
    for (char c : compact) {
        if (c == '/') text.push_back('\\');
        text.push_back(c);
    }
    return text;
}

nlohmann::json object(const FileIdentity& identity) {
    return {{"device", identity.device}, {"inode", identity.inode}};
}

nlohmann::json object(const FileSnapshot& snapshot) {
    return {{"identity", object(snapshot.identity)}, {"hash", snapshot.hash}, {"size", snapshot.size}};
}

nlohmann::json object(const DeliveryJPEG& jpeg) {
    nlohmann::json metadata = nlohmann::json::object();
    for (const auto& [key, value] : jpeg.metadata) metadata[key] = value;
    return {{"width", jpeg.width},
            {"height", jpeg.height},
            {"orientation", jpeg.orientation},
            {"profileHash", jpeg.profileHash},
            {"metadata", metadata}};
}

}  // namespace Finish
