// JPEG data decoded turned upright equals the plain decode turned afterwards.

#include "engine/imaging/jpeg_encoder.h"
#include "engine/library/extraction.h"
#include "engine/library/jpeg_codec.h"
#include "library_support.h"

using LibraryTest::testPattern;

TEST(JPEGDecodeTurned, EveryOrientationEqualsTheDecodeTurnedAfterwards) {
    // Odd sizes, so that a quarter turn that mixed up width and height would show.
    auto encoded = Imaging::encodeJPEG(testPattern(203, 131), Imaging::JPEGEncoding{95});
    ASSERT_TRUE(encoded);
    for (int maxPixel : {0, 60}) {  // full size and a DCT-scaled decode
        auto plain = Extraction::decodeJPEG(encoded->data(), encoded->size(), maxPixel);
        ASSERT_TRUE(plain);
        for (int orientation = 1; orientation <= 8; ++orientation) {
            SCOPED_TRACE("orientation " + std::to_string(orientation) + " max " + std::to_string(maxPixel));
            auto turned = Extraction::decodeJPEG(encoded->data(), encoded->size(), maxPixel, orientation);
            ASSERT_TRUE(turned);
            auto expected = Extraction::applyOrientation(plain->bitmap, orientation);
            EXPECT_EQ(turned->bitmap.width, expected.width);
            EXPECT_EQ(turned->bitmap.height, expected.height);
            EXPECT_TRUE(turned->bitmap.pixels == expected.pixels);
            EXPECT_EQ(turned->fullWidth, 203);  // the stored size
            EXPECT_EQ(turned->fullHeight, 131);
            EXPECT_TRUE(turned->complete);
        }
    }
}
