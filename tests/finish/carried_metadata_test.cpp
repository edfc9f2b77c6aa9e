// The delivered file's metadata segments carried onto a render: the TIFF
// structure of EXIF updated in place or by appending a directory, the XMP
// packet's own values, and which segments travel.
#include "finish/carried_metadata.h"

#include <turbojpeg.h>

#include <exiv2/exiv2.hpp>

#include <functional>
#include <map>

#include "finish/delivery_jpeg.h"
#include "finish_support.h"
#include "jpegprofile/jpegprofile.h"

namespace {

using namespace FinishTest;
using Finish::CarriedMetadata::uprightExif;
using Finish::CarriedMetadata::uprightXMP;

// ---- A small TIFF writer for the cases ------------------------------------

struct Field {
    std::uint16_t tag, type;
    std::uint32_t count;
    std::vector<std::uint8_t> data;  // in the structure's byte order
};

struct Order {
    bool little;
    void put(std::vector<std::uint8_t>& out, std::uint64_t v, int size) const {
        for (int i = 0; i < size; ++i) out.push_back(std::uint8_t(v >> (8 * (little ? i : size - 1 - i))));
    }
    Field shortField(std::uint16_t tag, std::uint16_t v) const {
        Field f{tag, 3, 1, {}};
        put(f.data, v, 2);
        return f;
    }
    Field longField(std::uint16_t tag, std::uint32_t v) const {
        Field f{tag, 4, 1, {}};
        put(f.data, v, 4);
        return f;
    }
    Field text(std::uint16_t tag, const std::string& s) const {
        Field f{tag, 2, std::uint32_t(s.size() + 1), std::vector<std::uint8_t>(s.begin(), s.end())};
        f.data.push_back(0);
        return f;
    }
    Field rational(std::uint16_t tag, std::uint32_t n, std::uint32_t d) const {
        Field f{tag, 5, 1, {}};
        put(f.data, n, 4);
        put(f.data, d, 4);
        return f;
    }
};

// IFD0 at offset 8, then the EXIF directory when given (IFD0 gets its
// pointer), then the values that do not fit in their entries.
Bytes tiffOf(const Order& o, std::vector<Field> ifd0, const std::optional<std::vector<Field>>& exif) {
    const auto directorySize = [](std::size_t n) { return 2 + 12 * n + 4; };
    if (exif) ifd0.push_back(o.longField(0x8769, 0));
    std::sort(ifd0.begin(), ifd0.end(), [](const Field& a, const Field& b) { return a.tag < b.tag; });
    const std::size_t exifAt = 8 + directorySize(ifd0.size());
    std::size_t dataAt = exifAt + (exif ? directorySize(exif->size()) : 0);
    Bytes out{std::uint8_t(o.little ? 'I' : 'M'), std::uint8_t(o.little ? 'I' : 'M')};
    o.put(out, 42, 2);
    o.put(out, 8, 4);
    Bytes data;
    const auto writeDirectory = [&](const std::vector<Field>& fields) {
        o.put(out, fields.size(), 2);
        for (const Field& f : fields) {
            o.put(out, f.tag, 2);
            o.put(out, f.type, 2);
            o.put(out, f.count, 4);
            if (f.tag == 0x8769) {
                o.put(out, exifAt, 4);
            } else if (f.data.size() <= 4) {
                Bytes value = f.data;
                value.resize(4, 0);
                out.insert(out.end(), value.begin(), value.end());
            } else {
                o.put(out, dataAt + data.size(), 4);
                data.insert(data.end(), f.data.begin(), f.data.end());
                if (data.size() % 2) data.push_back(0);
            }
        }
        o.put(out, 0, 4);
    };
    writeDirectory(ifd0);
    if (exif) writeDirectory(*exif);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

std::map<std::string, std::string> tagsOf(const Bytes& tiff) {
    Exiv2::ExifData exif;
    Exiv2::ExifParser::decode(exif, tiff.data(), std::uint32_t(tiff.size()));
    std::map<std::string, std::string> tags;
    for (const auto& datum : exif) tags[datum.key()] = datum.toString();
    return tags;
}

TEST(CarriedMetadata, ExifIsUprightWithEveryOtherTagKept) {
    struct Case {
        const char* what;
        bool little;
        std::function<Bytes(const Order&)> tiff;
        bool inPlace;  // same size, only the values changed
    };
    const auto ifd0 = [](const Order& o, bool orientation) {
        std::vector<Field> fields = {o.shortField(0x0106, 2), o.text(0x013B, "Ana Example"),
                                     o.rational(0x011A, 300, 1), o.text(0x8298, "(c) Ana")};
        if (orientation) fields.push_back(o.shortField(0x0112, 6));
        return fields;
    };
    const std::vector<Case> cases = {
        {"values in place, big-endian", false,
         [&](const Order& o) {
             return tiffOf(o, ifd0(o, true), std::vector{o.shortField(0xA002, 24), o.shortField(0xA003, 40)});
         },
         true},
        {"values in place, little-endian, LONG sizes", true,
         [&](const Order& o) {
             return tiffOf(o, ifd0(o, true), std::vector{o.longField(0xA002, 24), o.longField(0xA003, 40)});
         },
         true},
        {"orientation stored as LONG", true,
         [&](const Order& o) {
             auto fields = ifd0(o, false);
             fields.push_back(o.longField(0x0112, 8));
             return tiffOf(o, fields, std::vector{o.shortField(0xA002, 24), o.shortField(0xA003, 40)});
         },
         true},
        {"no orientation", false,
         [&](const Order& o) {
             return tiffOf(o, ifd0(o, false), std::vector{o.shortField(0xA002, 24), o.shortField(0xA003, 40)});
         },
         false},
        {"no pixel dimensions", true,
         [&](const Order& o) { return tiffOf(o, ifd0(o, true), std::vector{o.rational(0x829A, 1, 250)}); }, false},
        {"no EXIF directory", false, [&](const Order& o) { return tiffOf(o, ifd0(o, true), std::nullopt); }, false},
        {"nothing at all", false, [](const Order&) { return Bytes{}; }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Order order{c.little};
        const Bytes before = c.tiff(order);
        const auto after = uprightExif(before, 70000, 40);
        ASSERT_TRUE(after);
        auto expected = before.empty() ? std::map<std::string, std::string>{} : tagsOf(before);
        expected.erase("Exif.Image.ExifTag");
        expected["Exif.Image.Orientation"] = "1";
        expected["Exif.Photo.PixelXDimension"] = "70000";
        expected["Exif.Photo.PixelYDimension"] = "40";
        auto found = tagsOf(*after);
        found.erase("Exif.Image.ExifTag");
        EXPECT_EQ(found, expected);
        if (before.empty()) continue;
        // Whatever was there keeps its place: only values (and a SHORT
        // becoming a LONG, a directory pointer moving) differ.
        EXPECT_EQ(after->size() == before.size(), c.inPlace);
        ASSERT_GE(after->size(), before.size());
        std::size_t changed = 0;
        for (std::size_t i = 0; i < before.size(); ++i) changed += (*after)[i] != before[i];
        EXPECT_LE(changed, 4u + 2u + 6u + 4u);
    }
}

TEST(CarriedMetadata, UnreadableExifIsRefused) {
    const Order o{false};
    Bytes pointsPastTheEnd = tiffOf(o, {o.shortField(0x0112, 6)}, std::nullopt);
    pointsPastTheEnd[7] = 200;
    for (const Bytes& bad : {bytesOf("not a tiff"), bytesOf(std::string("MM\0\x2A\0\0\0\x08", 8)), pointsPastTheEnd}) {
        EXPECT_FALSE(uprightExif(bad, 10, 10));
    }
}

TEST(CarriedMetadata, XMPValuesChangeWhateverTheirForm) {
    const std::string padding(100, ' ');
    const auto packet = [&](const std::string& body, bool trailer = true) {
        return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
               "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">" +
               body + "</rdf:RDF></x:xmpmeta>" + (trailer ? "\n" + padding + "<?xpacket end=\"w\"?>" : "");
    };
    const std::string tiffNS = "http://ns.adobe.com/tiff/1.0/", exifNS = "http://ns.adobe.com/exif/1.0/";
    struct Case {
        const char* what;
        std::string before, after;
    };
    const std::vector<Case> cases = {
        {"attributes",
         packet("<rdf:Description xmlns:tiff=\"" + tiffNS + "\" xmlns:exif=\"" + exifNS +
                "\" tiff:Orientation=\"6\" exif:PixelXDimension=\"4000\" exif:PixelYDimension=\"600\" "
                "tiff:OrientationNote=\"6\" xmp:Orientation=\"6\"/>"),
         packet("<rdf:Description xmlns:tiff=\"" + tiffNS + "\" xmlns:exif=\"" + exifNS +
                "\" tiff:Orientation=\"1\" exif:PixelXDimension=\"600\" exif:PixelYDimension=\"4000\" "
                "tiff:OrientationNote=\"6\" xmp:Orientation=\"6\"/>")},
        {"elements and other prefixes",
         packet("<rdf:Description xmlns:t='" + tiffNS + "' xmlns:e='" + exifNS +
                "'><t:Orientation>8</t:Orientation><e:PixelYDimension>600</e:PixelYDimension>"
                "<tiff:Orientation>8</tiff:Orientation></rdf:Description>"),
         packet("<rdf:Description xmlns:t='" + tiffNS + "' xmlns:e='" + exifNS +
                "'><t:Orientation>1</t:Orientation><e:PixelYDimension>4000</e:PixelYDimension>"
                "<tiff:Orientation>8</tiff:Orientation></rdf:Description>")},
        {"nothing to change",
         packet("<rdf:Description xmlns:dc=\"http://purl.org/dc/elements/1.1/\" dc:format=\"image/jpeg\"/>"),
         packet("<rdf:Description xmlns:dc=\"http://purl.org/dc/elements/1.1/\" dc:format=\"image/jpeg\"/>")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string upright = uprightXMP(c.before, 600, 4000);
        // The packet keeps its size: the padding takes up the difference.
        EXPECT_EQ(upright.size(), c.before.size());
        std::string expected = c.after;
        const long delta = long(c.after.size()) - long(c.before.size());
        const std::size_t trailer = expected.rfind("<?xpacket end=");
        if (delta > 0) expected.erase(trailer - std::size_t(delta), std::size_t(delta));
        if (delta < 0) expected.insert(trailer, std::size_t(-delta), ' ');
        EXPECT_EQ(upright, expected);
    }
    // Without a trailer the packet grows or shrinks.
    const std::string bare = packet("<rdf:Description xmlns:exif=\"" + exifNS + "\" exif:PixelXDimension=\"6\"/>", false);
    EXPECT_EQ(uprightXMP(bare, 600, 4000).size(), bare.size() + 2);
}

// ---- Segments of whole files -------------------------------------------------

Bytes segment(std::uint8_t code, const std::string& payload) {
    Bytes s(4 + payload.size());
    s[0] = 0xFF;
    s[1] = code;
    s[2] = std::uint8_t((payload.size() + 2) >> 8);
    s[3] = std::uint8_t((payload.size() + 2) & 0xFF);
    std::copy(payload.begin(), payload.end(), s.begin() + 4);
    return s;
}

// `jpeg` with `segments` inserted right after its start-of-image marker.
Bytes withSegments(Bytes jpeg, const std::vector<Bytes>& segments) {
    std::size_t at = 2;
    for (const auto& s : segments) {
        jpeg.insert(jpeg.begin() + std::ptrdiff_t(at), s.begin(), s.end());
        at += s.size();
    }
    return jpeg;
}

// `jpeg` without its JFIF APP0 segment.
Bytes withoutJFIF(Bytes jpeg) {
    for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA;) {
        const std::size_t length = 2 + ((std::size_t(jpeg[at + 2]) << 8) | jpeg[at + 3]);
        if (jpeg[at + 1] == 0xE0 && std::equal(jpeg.begin() + std::ptrdiff_t(at + 4), jpeg.begin() + std::ptrdiff_t(at + 9),
                                               "JFIF")) {
            jpeg.erase(jpeg.begin() + std::ptrdiff_t(at), jpeg.begin() + std::ptrdiff_t(at + length));
            return jpeg;
        }
        at += length;
    }
    return jpeg;
}

std::vector<std::uint8_t> decodedPixels(const Bytes& jpeg) {
    tjhandle handle = tjInitDecompress();
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &width, &height, &subsampling, &colourspace);
    std::vector<std::uint8_t> pixels(std::size_t(width) * height * 3);
    tjDecompress2(handle, jpeg.data(), jpeg.size(), pixels.data(), width, 0, height, TJPF_RGB, 0);
    tjDestroy(handle);
    return pixels;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

TEST(CarriedMetadata, EveryMetadataSegmentTravelsAndTheRenderKeepsItsCoding) {
    PictureMetadata metadata;
    metadata.orientation = 6;
    metadata.caption = "Dawn";
    const Bytes app3 = segment(0xE3, std::string("META\0\x01\x02", 7));
    const Bytes comment = segment(0xFE, "delivered comment");
    const Bytes app15 = segment(0xEF, "Ducky and more");
    const Bytes pictureIndex = segment(0xE2, std::string("MPF\0MM\0\x2A\0\0\0\x08", 12));
    // An Adobe segment saying the scan is coded as RGB, which a render's
    // YCbCr scan is not: it must not travel.
    const Bytes adobeRGB = segment(0xEE, std::string("Adobe\0\x64\0\0\0\0\0", 12));
    const Bytes delivered = withSegments(withoutJFIF(makeJPEG(40, 24, 1, metadata, wideProfile())),
                                         {app3, comment, app15, pictureIndex, adobeRGB});
    PictureMetadata renderMetadata;
    renderMetadata.artist = "the renderer";
    const Bytes render =
        withSegments(makeJPEG(24, 40, 2, renderMetadata, wideProfile()), {segment(0xFE, "render comment")});

    const Bytes carried = Finish::DeliveryJPEG::carryingMetadata(delivered, render);
    for (const Bytes& travels : {app3, comment, app15}) EXPECT_TRUE(contains(carried, travels));
    for (const Bytes& stays : {pictureIndex, adobeRGB, segment(0xFE, "render comment")})
        EXPECT_FALSE(contains(carried, stays));
    EXPECT_EQ(Finish::DeliveryJPEG::inspect(carried).metadata, Finish::DeliveryJPEG::inspect(delivered).metadata);
    EXPECT_EQ(scanData(carried), scanData(render));
    EXPECT_EQ(decodedPixels(carried), decodedPixels(render));

    // An Adobe segment that agrees with the render's coding travels too.
    const Bytes adobeYCbCr = segment(0xEE, std::string("Adobe\0\x64\0\0\0\0\x01", 12));
    const Bytes agreeing = withSegments(makeJPEG(40, 24, 1, metadata, wideProfile()), {adobeYCbCr});
    const Bytes carriedAgreeing = Finish::DeliveryJPEG::carryingMetadata(agreeing, render);
    EXPECT_TRUE(contains(carriedAgreeing, adobeYCbCr));
    EXPECT_EQ(decodedPixels(carriedAgreeing), decodedPixels(render));
}

}  // namespace
