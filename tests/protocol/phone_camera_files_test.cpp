// Phone and camera files as photographers have them, browsed through the real
// gelatin program: current iPhone HEICs, HEIC orientation and EXIF, image
// sequences, Canon CRW capture facts, and request lines that are not JSON.
#include <cstring>
#include <filesystem>
#include <map>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop
#include <nlohmann/json.hpp>

#include "engine/library/extraction.h"
#include "engine/protocol/records.h"
#include "support/support.h"

using namespace TestSupport;
namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::string_literals;

namespace {

std::uint32_t get32(const std::string& b, std::size_t at) {
    return std::uint32_t(std::uint8_t(b[at])) << 24 | std::uint32_t(std::uint8_t(b[at + 1])) << 16 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 8 | std::uint8_t(b[at + 3]);
}
std::uint16_t get16(const std::string& b, std::size_t at) {
    return std::uint16_t(std::uint8_t(b[at]) << 8 | std::uint8_t(b[at + 1]));
}
void put32(std::string& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = char(v >> (24 - 8 * i));
}
void put16(std::string& b, std::size_t at, std::uint16_t v) {
    b[at] = char(v >> 8);
    b[at + 1] = char(v);
}
std::uint64_t getN(const std::string& b, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | std::uint8_t(b[at + i]);
    return v;
}
void putN(std::string& b, std::size_t at, int n, std::uint64_t v) {
    for (int i = n - 1; i >= 0; --i, v >>= 8) b[at + i] = char(v);
}

// An iPhone HEIC whose HDR gain map is shared by two images, as iOS 18 writes it
// (the gain map's auxiliary reference names the primary image and one more):
// libheif before 1.18 refuses such files ("Too many auxiliary image references").
// Made from an iPhone 13 file whose gain map (item 51) refers to the primary image
// only: its 'auxl' reference gains the thumbnail (item 50), two bytes, so the
// boxes around it grow and every file offset behind it moves.
std::string sharedGainMapHEIC(std::string b) {
    const std::size_t meta = b.find("meta") - 4, iref = b.find("iref") - 4;
    const std::uint32_t irefSize = get32(b, iref);
    std::size_t at = iref + 12, insertAt = 0;
    while (at < iref + irefSize) {
        std::uint32_t size = get32(b, at);
        if (b.compare(at + 4, 4, "auxl") == 0) {
            if (size != 14 || get16(b, at + 10) != 1) return {};
            put32(b, at, 16);
            put16(b, at + 10, 2);
            insertAt = at + 14;
            b.insert(insertAt, std::string("\0\x32", 2));  // item 50
            break;
        }
        at += size;
    }
    if (!insertAt) return {};
    put32(b, iref, irefSize + 2);
    put32(b, meta, get32(b, meta) + 2);
    // iloc: every extent stored in the file behind the insertion moves by two bytes.
    std::size_t q = b.find("iloc") + 4;
    const int version = std::uint8_t(b[q]);
    q += 4;
    const int offsetSize = std::uint8_t(b[q]) >> 4, lengthSize = std::uint8_t(b[q]) & 15;
    const int baseSize = std::uint8_t(b[q + 1]) >> 4, indexSize = version ? std::uint8_t(b[q + 1]) & 15 : 0;
    q += 2;
    const int idSize = version < 2 ? 2 : 4;
    std::uint64_t items = getN(b, q, idSize);
    q += idSize;
    auto shift = [&](std::size_t field, int size) {
        std::uint64_t v = getN(b, field, size);
        if (v >= insertAt) putN(b, field, size, v + 2);
    };
    for (std::uint64_t i = 0; i < items; ++i) {
        q += idSize;
        int method = 0;
        if (version == 1 || version == 2) method = get16(b, q) & 15, q += 2;
        q += 2;  // data reference index
        const std::size_t baseAt = q;
        const std::uint64_t base = getN(b, q, baseSize);
        q += baseSize;
        if (method == 0 && baseSize && base) shift(baseAt, baseSize);
        const int extents = get16(b, q);
        q += 2;
        for (int e = 0; e < extents; ++e) {
            q += indexSize;
            if (method == 0 && !(baseSize && base) && offsetSize) shift(q, offsetSize);
            q += offsetSize + lengthSize;
        }
    }
    return b;
}

// Runs gelatin serve over the request lines and returns the answers by id.
std::map<int, json> serve(const std::vector<json>& requests) {
    std::string input;
    for (const json& r : requests) input += r.dump() + "\n";
    auto result = run(gelatin(), {"serve"}, input);
    EXPECT_EQ(result.status, 0);
    std::map<int, json> answers;
    for (const auto& line : lines(result.out)) {
        json answer = json::parse(line);
        answers[answer["id"].get<int>()] = answer;
    }
    return answers;
}

TEST(PhoneFiles, HEICWithASharedGainMapOpens) {
    REQUIRE_FIXTURES();
    TempDir dir;
    const std::string made = sharedGainMapHEIC(readFile(fixture("heic/ianare_iphone_13_pro_max.HEIC")));
    ASSERT_FALSE(made.empty());
    const fs::path photo = dir / "IMG_0001.HEIC";
    writeFile(photo, made);
    auto answers = serve({
        {{"id", 1}, {"src", photo.string()}, {"out", (dir / "t.jpg").string()}, {"max", 400}},
        {{"id", 2}, {"src", photo.string()}, {"develop", true}, {"out", (dir / "d.jpg").string()},
         {"max", 600}, {"look", json::object()}},
    });
    ASSERT_EQ(answers.size(), 2u);
    const json& preview = answers[1];
    EXPECT_EQ(preview["ok"], true) << preview;
    EXPECT_EQ(preview["rawW"], 4032);
    EXPECT_EQ(preview["rawH"], 3024);
    EXPECT_EQ(preview["previewW"], 300) << "upright: the file is a portrait";
    EXPECT_EQ(preview["previewH"], 400);
    EXPECT_EQ(preview["camera"], "Apple iPhone 13 Pro Max");
    EXPECT_EQ(preview["orientation"], 6);
    EXPECT_TRUE(fs::exists(dir / "t.jpg"));
    EXPECT_EQ(answers[2]["ok"], true) << answers[2];
    EXPECT_TRUE(fs::exists(dir / "d.jpg"));
}

// An iPhone 7 HEIC has EXIF orientation 6 and no rotation property: its preview and
// its develop render come out upright (tall), as do those of an iPhone XS file that
// has both (turned once, not twice).
TEST(PhoneFiles, HEICPreviewsAndRendersAreUpright) {
    REQUIRE_FIXTURES();
    TempDir dir;
    std::vector<json> requests;
    const char* files[] = {"heic/photoprism_iphone_7.heic", "heic/libvips_heic-orientation-6.heic"};
    for (int i = 0; i < 2; ++i) {
        const std::string src = fixture(files[i]).string();
        requests.push_back({{"id", 10 * i}, {"src", src}, {"max", 400}});
        requests.push_back({{"id", 10 * i + 1}, {"src", src}, {"max", 400}, {"transform", false}});
        requests.push_back({{"id", 10 * i + 2}, {"src", src}, {"develop", true}, {"max", 500},
                            {"out", (dir / ("render" + std::to_string(i) + ".jpg")).string()},
                            {"look", {{"exposure", 0.3}}}});
    }
    auto answers = serve(requests);
    ASSERT_EQ(answers.size(), 6u);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(files[i]);
        const json& upright = answers[10 * i];
        EXPECT_EQ(upright["orientation"], 6);
        EXPECT_EQ(upright["rawW"], 4032);
        EXPECT_EQ(upright["previewW"], 300) << upright;
        EXPECT_EQ(upright["previewH"], 400);
        EXPECT_EQ(answers[10 * i + 1]["previewW"], 400) << "as stored";
        EXPECT_EQ(answers[10 * i + 1]["previewH"], 300);
        const json& render = answers[10 * i + 2];
        ASSERT_EQ(render["ok"], true) << render;
        EXPECT_EQ(render["previewW"], 375) << render;
        EXPECT_EQ(render["previewH"], 500);
    }
}

// EXIF blocks that Exiv2 does not find in the file, read through libheif.
TEST(PhoneFiles, HEICExifReadThroughLibheif) {
    REQUIRE_FIXTURES();
    auto answers = serve({
        {{"id", 1}, {"src", fixture("heic/exifpy_spring_1440x960.heic").string()}, {"max", 200}},
        {{"id", 2}, {"src", fixture("heic/ianare_samplefilehub.heif").string()}, {"max", 200}},
    });
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[1]["ok"], true) << answers[1];
    EXPECT_EQ(answers[1]["shotAt"], "2020:12:03 15:04:31") << answers[1];
    EXPECT_EQ(answers[2]["orientation"], 1) << answers[2];
    EXPECT_EQ(answers[2]["rawW"], 640);
}

// An image sequence (a HEVC track, no image items): its first picture.
TEST(PhoneFiles, HEICSequenceShowsItsFirstPicture) {
    REQUIRE_FIXTURES();
    TempDir dir;
    auto answers = serve({{{"id", 1}, {"src", fixture("heic/filetype_msf1_sequence.heic").string()}, {"max", 400},
                           {"out", (dir / "s.jpg").string()}, {"fp", true}}});
    ASSERT_EQ(answers.size(), 1u);
    const json& a = answers[1];
    EXPECT_EQ(a["ok"], true) << a;
    EXPECT_EQ(a["rawW"], 256);
    EXPECT_EQ(a["rawH"], 144);
    EXPECT_EQ(a["previewW"], 256);
    EXPECT_EQ(a["previewH"], 144);
    EXPECT_TRUE(a.contains("fp"));
    EXPECT_TRUE(fs::exists(dir / "s.jpg"));
}

// A Canon CRW's capture facts, as exiftool -n reads them.
TEST(CameraFiles, CanonCRWCaptureFacts) {
    auto answers = serve({{{"id", 1}, {"src", (sourceDir() / "samples/canon-eos-d30.crw").string()}, {"max", 200}}});
    ASSERT_EQ(answers.size(), 1u);
    const json& a = answers[1];
    EXPECT_EQ(a["ok"], true) << a;
    EXPECT_EQ(a["camera"], "Canon EOS D30");
    EXPECT_EQ(a["cameraSerial"], "305465770");
    EXPECT_EQ(a["iso"], 100);
    EXPECT_DOUBLE_EQ(a["focalLength"].get<double>(), 31.0);
    EXPECT_NEAR(a["exposureTime"].get<double>(), 5.03968419957949, 1e-12);
    EXPECT_NEAR(a["aperture"].get<double>(), 5.65685424949238, 1e-6);
    EXPECT_EQ(a["shotAt"], "2018:01:01 13:03:32");
}

// A raw NUL byte is never valid JSON: the line is dropped without an answer, wherever
// the NUL stands, and the next line is answered as usual.
TEST(RequestLines, ALineWithANulByteIsDropped) {
    const std::string object = R"({"id":5,"src":"/x.jpg"})";
    for (const std::string& line : {object + "\0garbage"s, object + "\0"s, R"({"id":5,"src":"/x)"s + "\0"s + R"(.jpg"})"s}) {
        EXPECT_FALSE(Protocol::decodeRequest(line)) << line.size();
    }
    EXPECT_TRUE(Protocol::decodeRequest(object));

    TempDir dir;
    const std::string missing = (dir / "x.jpg").string();
    const std::string input = R"({"id":5,"src":")" + missing + R"("})" + "\0garbage\n"s + R"({"id":6,"src":")" + missing +
                              R"("})" + "\n";
    auto result = run(gelatin(), {"serve"}, input);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    auto answers = lines(result.out);
    ASSERT_EQ(answers.size(), 1u) << result.out;
    EXPECT_EQ(json::parse(answers[0])["id"], 6);
}

// EXIF numbers stored as TIFF DOUBLE come out as written, not through single precision.
TEST(RequestLines, DoubleExifNumbersKeepTheirValue) {
    TempDir dir;
    const fs::path photo = dir / "double.jpg";
    Imaging::Bitmap picture(48, 32, 3);
    ASSERT_TRUE(Extraction::writeJPEG(picture, photo, 0.8));
    {
        auto image = Exiv2::ImageFactory::open(photo.string());
        image->readMetadata();
        Exiv2::ExifData exif;
        Exiv2::DoubleValue aperture;
        aperture.read("2.8");
        exif.add(Exiv2::ExifKey("Exif.Photo.FNumber"), &aperture);
        image->setExifData(exif);
        image->writeMetadata();
    }
    auto result = run(gelatin(), {"serve"}, R"({"id":1,"src":")" + photo.string() + R"(","max":32})" + "\n"s);
    EXPECT_NE(result.out.find(R"("aperture":2.8,)"), std::string::npos) << result.out;
}

}  // namespace
