#include "jpegprofile/jpegprofile.h"

#include <lcms2.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <system_error>

#include "jpegprofile/segments.h"

namespace JPEGColourProfile {

namespace {

using ProfileHandle = std::unique_ptr<void, decltype(&cmsCloseProfile)>;

ProfileHandle openProfile(const Bytes& icc) {
    if (icc.empty() || icc.size() > 0xFFFFFFFFu) return {nullptr, &cmsCloseProfile};
    return {cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())), &cmsCloseProfile};
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return text;
}

}  // namespace

bool isRGBProfile(const Bytes& icc) {
    ProfileHandle profile = openProfile(icc);
    if (!profile) return false;
    const cmsColorSpaceSignature space = cmsGetColorSpace(profile.get());
    return space == cmsSigRgbData && cmsChannelsOf(space) == 3;
}

Output source(const std::filesystem::path& url) {
    std::string extension = url.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    extension = lowercase(extension);
    if (extension != "jpg" && extension != "jpeg") throw Failure("Preserving a delivery profile requires a JPEG");

    std::ifstream in(url, std::ios::binary);
    if (!in) throw std::system_error(errno ? errno : EIO, std::generic_category(), url.string());
    Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) throw std::system_error(EIO, std::generic_category(), url.string());
    return source(bytes);
}

Output source(const Bytes& jpeg) {
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) throw Failure("Invalid delivery JPEG");

    std::map<unsigned, std::span<const std::uint8_t>> chunks;
    unsigned count = 0;
    const std::span<const std::uint8_t> bytes(jpeg);
    const auto walk = Segments::walk(bytes, [&](const Segments::Segment& s) {
        if (!Segments::isICCChunk(bytes, s)) return;
        const std::size_t numbering = s.codeAt + 3 + sizeof Segments::iccIdentifier;
        const unsigned sequence = bytes[numbering];
        const unsigned chunkCount = bytes[numbering + 1];
        if (chunkCount == 0 || sequence == 0 || sequence > chunkCount || chunks.contains(sequence) ||
            (!chunks.empty() && chunkCount != count))
            throw Failure("Invalid delivery colour profile chunks");
        count = chunkCount;
        chunks.emplace(sequence, bytes.subspan(numbering + 2, s.end - numbering - 2));
    });
    switch (walk.fault) {
        case Segments::Fault::none: break;
        case Segments::Fault::notAMarker: throw Failure("Invalid JPEG header");
        case Segments::Fault::incompleteHeader: throw Failure("Incomplete JPEG header");
        case Segments::Fault::incompleteSegment: throw Failure("Incomplete JPEG segment");
        case Segments::Fault::badLength: throw Failure("Invalid JPEG segment length");
    }

    if (chunks.empty()) return Output{sRGBProfile()};
    if (chunks.size() != count) throw Failure("Incomplete delivery colour profile");
    Output output;
    for (const auto& [sequence, chunk] : chunks) output.icc.insert(output.icc.end(), chunk.begin(), chunk.end());
    if (!isRGBProfile(output.icc)) throw Failure("Delivery JPEG needs a supported RGB colour profile");
    return output;
}

std::optional<Bytes> embed(const Bytes& profile, const Bytes& jpeg) {
    if (profile.empty() || jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
    const std::size_t chunkCount = (profile.size() + maxChunkBytes - 1) / maxChunkBytes;
    if (chunkCount > maxChunks) return std::nullopt;

    // Every segment but the old ICC chunks, in order, then the scan onwards.
    const std::span<const std::uint8_t> bytes(jpeg);
    Bytes rest;
    rest.reserve(jpeg.size());
    const auto walk = Segments::walk(bytes, [&](const Segments::Segment& s) {
        if (!Segments::isICCChunk(bytes, s)) rest.insert(rest.end(), jpeg.begin() + s.start, jpeg.begin() + s.end);
    });
    if (walk.fault != Segments::Fault::none || !walk.terminator) return std::nullopt;
    rest.insert(rest.end(), jpeg.begin() + *walk.terminator, jpeg.end());

    Bytes result;
    result.reserve(2 + chunkCount * (4 + 14) + profile.size() + rest.size());
    result.push_back(0xFF);
    result.push_back(0xD8);
    for (std::size_t k = 0; k < chunkCount; ++k) {
        const std::size_t from = k * maxChunkBytes;
        const std::size_t to = std::min(from + maxChunkBytes, profile.size());
        const std::size_t length = to - from + 16;
        const std::uint8_t header[] = {0xFF, 0xE2, std::uint8_t(length >> 8), std::uint8_t(length & 0xFF)};
        result.insert(result.end(), std::begin(header), std::end(header));
        result.insert(result.end(), std::begin(Segments::iccIdentifier), std::end(Segments::iccIdentifier));
        result.push_back(std::uint8_t(k + 1));
        result.push_back(std::uint8_t(chunkCount));
        result.insert(result.end(), profile.begin() + from, profile.begin() + to);
    }
    result.insert(result.end(), rest.begin(), rest.end());
    return result;
}

}  // namespace JPEGColourProfile
