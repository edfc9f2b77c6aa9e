#include "finish/delivery_jpeg.h"

#include <csetjmp>
#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <exiv2/exiv2.hpp>
#include <nlohmann/json.hpp>

#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "finish/carried_metadata.h"
#include "finish/reply.h"
#include "jpegprofile/jpegprofile.h"
#include "jpegprofile/segments.h"

namespace Finish {

namespace {

// ---- Image data: header and full decode through libjpeg ----------------------

struct DecodeErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void failDecoding(j_common_ptr info) { std::longjmp(reinterpret_cast<DecodeErrors*>(info->err)->jump, 1); }

// Corrupt-data warnings (a scan that ends early, bytes where a marker should
// be) are failures here: the file must decode completely.
void failOnWarning(j_common_ptr info, int level) {
    if (level < 0) failDecoding(info);
}

void ignoreMessage(j_common_ptr) {}

struct Frame {
    std::int64_t width = 0;
    std::int64_t height = 0;
    // How the decoder reads the scan's colours (J_COLOR_SPACE) and how many
    // components it has.
    int coding = 0;
    int components = 0;
};

enum class DecodeResult { unreadable, tooLarge, corrupt, complete };

// Reads the header (unreadable when it is not a JPEG) and, with `decode`,
// decodes every scanline of the picture when it is within the decode limit.
// Kept free of C++ objects with destructors because of the longjmp.
DecodeResult decodeJPEG(const Bytes& bytes, bool decode, Frame& frame) {
    jpeg_decompress_struct info{};
    DecodeErrors errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = failDecoding;
    errors.manager.emit_message = failOnWarning;
    errors.manager.output_message = ignoreMessage;
    JSAMPLE* volatile row = nullptr;
    volatile bool headerRead = false;
    if (setjmp(errors.jump)) {
        std::free(row);
        jpeg_destroy_decompress(&info);
        return headerRead ? DecodeResult::corrupt : DecodeResult::unreadable;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&info);
        return DecodeResult::unreadable;
    }
    headerRead = true;
    frame.width = info.image_width;
    frame.height = info.image_height;
    frame.coding = int(info.jpeg_color_space);
    frame.components = info.num_components;
    if (!decode) {
        jpeg_destroy_decompress(&info);
        return DecodeResult::complete;
    }
    if (frame.width <= 0 || frame.height <= 0 || frame.width * frame.height > DeliveryJPEG::decodeLimit) {
        jpeg_destroy_decompress(&info);
        return DecodeResult::tooLarge;
    }
    jpeg_start_decompress(&info);
    row = static_cast<JSAMPLE*>(std::malloc(std::size_t(info.output_width) * info.output_components));
    if (!row) failDecoding(reinterpret_cast<j_common_ptr>(&info));
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row};
        if (jpeg_read_scanlines(&info, rows, 1) != 1) failDecoding(reinterpret_cast<j_common_ptr>(&info));
    }
    jpeg_finish_decompress(&info);
    std::free(row);
    jpeg_destroy_decompress(&info);
    return DecodeResult::complete;
}

bool isFrameMarker(std::uint8_t code) {
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// Frames before the first scan, and where that scan starts.
struct Layout {
    bool wellFormed = false;
    int frames = 0;
    std::size_t scan = 0;
};

Layout layoutOf(const Bytes& bytes) {
    Layout layout;
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return layout;
    const auto walk = JPEGColourProfile::Segments::walk(std::span<const std::uint8_t>(bytes),
                                                        [&](const JPEGColourProfile::Segments::Segment& s) {
                                                            if (isFrameMarker(s.code)) ++layout.frames;
                                                        });
    layout.wellFormed = walk.fault == JPEGColourProfile::Segments::Fault::none && walk.terminator.has_value();
    layout.scan = walk.terminator.value_or(bytes.size());
    return layout;
}

// ---- Metadata through Exiv2 --------------------------------------------------

void prepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize();
    });
}

// The header segments up to the first scan, without the ICC chunks, closed
// by an end-of-image marker: what the metadata reader is given. The colour
// profile is read only by JPEGColourProfile, so the metadata reader's own
// view of the chunks (it refuses some valid layouts) never decides anything.
Bytes metadataHeader(const Bytes& bytes) {
    const std::span<const std::uint8_t> all(bytes);
    Bytes header{0xFF, 0xD8};
    JPEGColourProfile::Segments::walk(all, [&](const JPEGColourProfile::Segments::Segment& s) {
        if (!JPEGColourProfile::Segments::isICCChunk(all, s))
            header.insert(header.end(), bytes.begin() + std::ptrdiff_t(s.start), bytes.begin() + std::ptrdiff_t(s.end));
    });
    header.push_back(0xFF);
    header.push_back(0xD9);
    return header;
}

Exiv2::Image::AutoPtr openMetadata(const Bytes& bytes) {
    prepareExiv2();
    const Bytes header = metadataHeader(bytes);
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(header.data(), long(header.size()));
    if (!image.get() || image->imageType() != Exiv2::ImageType::jpeg) throw Exiv2::Error(Exiv2::kerNotAnImage);
    image->readMetadata();
    return image;
}

// Text as UTF-8: kept when it already is valid UTF-8, otherwise read as
// ISO 8859-1 (the IPTC default); trailing NUL padding is dropped.
std::string textOf(std::string raw) {
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    if (validUTF8(raw)) return raw;
    std::string text;
    for (unsigned char c : raw) {
        if (c < 0x80) {
            text.push_back(char(c));
        } else {
            text.push_back(char(0xC0 | (c >> 6)));
            text.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return text;
}

int orientationOf(const Exiv2::ExifData& exif) {
    const auto it = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
    if (it == exif.end() || it->count() < 1) return 1;
    switch (it->typeId()) {
        case Exiv2::unsignedShort:
        case Exiv2::unsignedLong:
        case Exiv2::signedShort:
        case Exiv2::signedLong:
        case Exiv2::unsignedByte:
        case Exiv2::signedByte: {
            const long value = it->toLong(0);
            return value >= 1 && value <= 8 ? int(value) : 1;
        }
        default: return 1;
    }
}

std::map<std::string, std::string> metadataOf(const Exiv2::Image& image) {
    std::map<std::string, std::string> metadata;
    const Exiv2::ExifData& exif = image.exifData();
    const Exiv2::IptcData& iptc = image.iptcData();
    if (auto it = exif.findKey(Exiv2::ExifKey("Exif.Image.Artist")); it != exif.end())
        metadata["artist"] = textOf(it->toString());
    if (auto it = exif.findKey(Exiv2::ExifKey("Exif.Image.Copyright")); it != exif.end())
        metadata["copyright"] = textOf(it->toString());
    if (auto it = iptc.findKey(Exiv2::IptcKey("Iptc.Application2.Caption")); it != iptc.end())
        metadata["caption"] = textOf(it->toString());
    nlohmann::json keywords = nlohmann::json::array();
    for (const auto& datum : iptc) {
        if (datum.key() == "Iptc.Application2.Keywords") keywords.push_back(textOf(datum.toString()));
    }
    if (!keywords.empty()) metadata["keywords"] = jsonText(keywords);
    return metadata;
}

struct Inspected {
    DeliveryJPEG summary;
    Frame frame;
    std::size_t scan = 0;  // where the first scan starts
};

Inspected inspectFully(const Bytes& bytes) {
    // A single-frame JPEG that the decoder and the metadata reader both accept.
    const Layout layout = layoutOf(bytes);
    if (!layout.wellFormed || layout.frames != 1) throw FinishFailure("Invalid delivery JPEG");
    Frame frame;
    if (decodeJPEG(bytes, false, frame) != DecodeResult::complete) throw FinishFailure("Invalid delivery JPEG");
    Inspected result;
    Exiv2::Image::AutoPtr image;
    try {
        image = openMetadata(bytes);
    } catch (const Exiv2::AnyError&) {
        throw FinishFailure("Invalid delivery JPEG");
    }

    if (decodeJPEG(bytes, true, frame) != DecodeResult::complete)
        throw FinishFailure("Delivery JPEG cannot be fully decoded within the tested size limit");

    const JPEGColourProfile::Output profile = JPEGColourProfile::source(bytes);

    DeliveryJPEG& summary = result.summary;
    summary.orientation = orientationOf(image->exifData());
    summary.metadata = metadataOf(*image);
    const bool turned = summary.orientation >= 5;
    summary.width = turned ? frame.height : frame.width;
    summary.height = turned ? frame.width : frame.height;
    summary.profileHash = sha256Hex(profile.icc);
    result.frame = frame;
    result.scan = layout.scan;
    return result;
}

}  // namespace

DeliveryJPEG DeliveryJPEG::inspect(const Bytes& bytes) { return inspectFully(bytes).summary; }

Bytes DeliveryJPEG::carryingMetadata(const Bytes& source, const Bytes& rendered) {
    const Inspected delivered = inspectFully(source);
    const Inspected render = inspectFully(rendered);
    const DeliveryJPEG& d = delivered.summary;
    const DeliveryJPEG& r = render.summary;
    if (r.width != d.width || r.height != d.height || r.orientation != 1 || r.profileHash != d.profileHash)
        throw FinishFailure("Rendered delivery size, orientation or colour profile changed");

    // The delivered file's metadata segments on the render's image, upright.
    // Should the delivered file's JFIF or Adobe segment make a decoder read
    // the render's scan as other colours, the render keeps its own.
    const auto width = std::uint32_t(d.width), height = std::uint32_t(d.height);
    Bytes written = CarriedMetadata::carry(source, rendered, width, height, CarriedMetadata::Coding::delivered);
    const auto codedAlike = [&](const Bytes& bytes) {
        Frame frame;
        return decodeJPEG(bytes, false, frame) == DecodeResult::complete && frame.coding == render.frame.coding &&
               frame.components == render.frame.components;
    };
    if (!codedAlike(written)) {
        written = CarriedMetadata::carry(source, rendered, width, height, CarriedMetadata::Coding::render);
        if (!codedAlike(written)) throw FinishFailure("Could not preserve delivery metadata");
    }

    const auto result = JPEGColourProfile::embed(JPEGColourProfile::source(source).icc, written);
    if (!result) throw FinishFailure("Could not preserve delivery metadata");

    // The compressed image must be the render's, bit for bit, from its first scan on.
    const Layout layout = layoutOf(*result);
    if (!layout.wellFormed || result->size() - layout.scan != rendered.size() - render.scan ||
        !std::equal(result->begin() + std::ptrdiff_t(layout.scan), result->end(),
                    rendered.begin() + std::ptrdiff_t(render.scan)))
        throw FinishFailure("Could not preserve delivery metadata");

    DeliveryJPEG c;
    try {
        c = inspect(*result);
    } catch (const std::exception&) {
        throw FinishFailure("Delivery metadata did not survive copying");
    }
    if (c.width != d.width || c.height != d.height || c.orientation != 1 || c.profileHash != d.profileHash ||
        c.metadata != d.metadata)
        throw FinishFailure("Delivery metadata did not survive copying");
    return *result;
}

}  // namespace Finish
