// The JPEG encoder: the layouts it takes, the chroma resolution each quality
// gets, and what it refuses.

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

#include <gtest/gtest.h>

#include "engine/imaging/jpeg_encoder.h"

namespace {

struct Header {
    int width = 0, height = 0, subsampling = -1;
};

Header headerOf(const std::vector<std::uint8_t>& jpeg) {
    Header h;
    int colourspace = 0;
    tjhandle handle = tjInitDecompress();
    tjDecompressHeader3(handle, jpeg.data(), jpeg.size(), &h.width, &h.height, &h.subsampling, &colourspace);
    tjDestroy(handle);
    return h;
}

Imaging::Bitmap gradient(int width, int height, int channels) {
    Imaging::Bitmap b(width, height, channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * channels; ++x) b.row(y)[x] = std::uint8_t((x * 7 + y * 3) & 0xFF);
    return b;
}

}  // namespace

TEST(JPEGEncoder, LayoutsAndChromaResolution) {
    struct Case {
        int channels, quality, subsampling;
    } cases[] = {{1, 50, TJSAMP_GRAY}, {1, 95, TJSAMP_GRAY}, {3, 89, TJSAMP_420}, {3, 90, TJSAMP_444},
                 {4, 60, TJSAMP_420},  {4, 100, TJSAMP_444}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, quality " + std::to_string(c.quality));
        for (bool accurate : {false, true}) {
            const auto jpeg = Imaging::encodeJPEG(gradient(37, 21, c.channels), Imaging::JPEGEncoding{c.quality, accurate});
            ASSERT_TRUE(jpeg);
            const Header h = headerOf(*jpeg);
            EXPECT_EQ(h.width, 37);
            EXPECT_EQ(h.height, 21);
            EXPECT_EQ(h.subsampling, c.subsampling);
        }
    }
}

TEST(JPEGEncoder, RowsWithPaddingEncodeAsTheBitmap) {
    // The same pixels given as rows with a wider stride make the same bytes.
    const Imaging::Bitmap bitmap = gradient(30, 12, 3);
    std::vector<std::uint8_t> padded(std::size_t(12) * 100, 0xAB);
    for (int y = 0; y < 12; ++y) std::copy(bitmap.row(y), bitmap.row(y) + bitmap.stride(), padded.data() + y * 100);
    const Imaging::JPEGEncoding encoding{80, true};
    EXPECT_EQ(Imaging::encodeJPEG(Imaging::EightBitRows{padded.data(), 30, 12, 100, 3}, encoding),
              Imaging::encodeJPEG(bitmap, encoding));
}

TEST(JPEGEncoder, RefusesWhatItCannotEncode) {
    EXPECT_FALSE(Imaging::encodeJPEG(Imaging::Bitmap{}, {}));
    EXPECT_FALSE(Imaging::encodeJPEG(gradient(8, 8, 2), {}));
    Imaging::Bitmap short_ = gradient(8, 8, 3);
    short_.pixels.resize(10);
    EXPECT_FALSE(Imaging::encodeJPEG(short_, {}));
}

TEST(JPEGEncoder, QualityFromAFraction) {
    EXPECT_EQ(Imaging::jpegQuality(0.82, 0.5), 82);
    EXPECT_EQ(Imaging::jpegQuality(0.0, 0.5), 1);
    EXPECT_EQ(Imaging::jpegQuality(7.0, 0.5), 100);
    EXPECT_EQ(Imaging::jpegQuality(-3.0, 0.5), 1);
    EXPECT_EQ(Imaging::jpegQuality(std::nan(""), 0.85), 85);
}
