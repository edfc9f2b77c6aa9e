// The colour space a HEIF file names by nclx codes (primaries and transfer
// curve) becomes a profile with those colours; sRGB's codes give none.
#include <libheif/heif.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "engine/imaging/colour_spaces.h"
#include "engine/library/extraction.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A small HEIF file with the given nclx codes, written with libheif's built-in
// uncompressed encoder; false when this libheif has none.
bool writeNclxHeif(const fs::path& file, int primaries, int transfer) {
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    // heif_compression_uncompressed (8), named only in newer headers.
    if (heif_context_get_encoder_for_format(context, static_cast<heif_compression_format>(8), &encoder).code !=
        heif_error_Ok) {
        heif_context_free(context);
        return false;
    }
    heif_image* image = nullptr;
    heif_image_create(64, 48, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, 64, 48, 8);
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            std::uint8_t* p = plane + std::size_t(y) * stride + 3 * x;
            p[0] = std::uint8_t(x * 4), p[1] = std::uint8_t(y * 5), p[2] = 128;
        }
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    heif_nclx_color_profile_set_color_primaries(nclx, std::uint16_t(primaries));
    heif_nclx_color_profile_set_transfer_characteristics(nclx, std::uint16_t(transfer));
    heif_nclx_color_profile_set_matrix_coefficients(nclx, 0);
    nclx->full_range_flag = 1;
    heif_image_set_nclx_color_profile(image, nclx);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->output_nclx_profile = nclx;
    heif_image_handle* handle = nullptr;
    const bool ok = heif_context_encode_image(context, image, encoder, options, &handle).code == heif_error_Ok &&
                    heif_context_write_to_file(context, file.c_str()).code == heif_error_Ok;
    if (handle) heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_nclx_color_profile_free(nclx);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
    return ok;
}

Imaging::Bitmap everyValue() {
    Imaging::Bitmap b(256, 4, 3);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 256; ++x) {
            std::uint8_t* p = b.row(y) + 3 * x;
            p[0] = std::uint8_t(x), p[1] = std::uint8_t((x * (y + 2) * 29) & 255), p[2] = std::uint8_t(255 - x);
        }
    return b;
}

TEST(HeifColourProfile, NclxCodesBecomeAProfileOfThoseColours) {
    TestSupport::TempDir dir;
    const fs::path p3 = dir / "p3.heic", srgb = dir / "srgb.heic";
    if (!writeNclxHeif(p3, 12, 13) || !writeNclxHeif(srgb, 1, 13))
        GTEST_SKIP() << "this libheif cannot write HEIF files";

    const auto p3Source = Extraction::open(p3);
    ASSERT_TRUE(p3Source);
    const Bytes icc = Extraction::colourProfile(*p3Source);
    ASSERT_FALSE(icc.empty());
    EXPECT_FALSE(ColourSpaces::isSRGB(icc));
    // The same colours as Display P3 (its primaries, D65, the sRGB curve).
    const Bytes displayP3 = ColourSpaces::rgbProfile({{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {0.3127, 0.3290}},
                                                     ColourSpaces::sRGBCurve, "Display P3 (test)");
    const Imaging::Bitmap values = everyValue();
    const Imaging::Image a = ColourSpaces::linearFromBitmap(values, icc), b = ColourSpaces::linearFromBitmap(values, displayP3);
    EXPECT_LT(cv::norm(a.mat(), b.mat(), cv::NORM_INF), 1e-4);

    const auto srgbSource = Extraction::open(srgb);
    ASSERT_TRUE(srgbSource);
    EXPECT_TRUE(Extraction::colourProfile(*srgbSource).empty());

    // The preview names the colour space.
    const auto preview = Extraction::preview(*p3Source, 32, true, true);
    ASSERT_TRUE(preview);
    ASSERT_TRUE(Extraction::writeJPEG(*preview, dir / "preview.jpg", 0.9, icc));
    const std::string written = TestSupport::readFile(dir / "preview.jpg");
    EXPECT_NE(written.find("ICC_PROFILE"), std::string::npos);
}

}  // namespace
