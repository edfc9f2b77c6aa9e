#include "engine/imaging/png_file.h"

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

#include <png.h>

namespace PNGFile {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

void quietWarning(png_structp, png_const_charp) {}

}  // namespace

WriteResult writeRGBA8(const std::filesystem::path& path, const Imaging::Bitmap& bitmap) {
    return write(path, bitmap, Stored::rgba);
}

WriteResult write(const std::filesystem::path& path, const Imaging::Bitmap& bitmap, Stored stored) {
    const bool layoutFits = stored == Stored::grey ? bitmap.channels == 1 : bitmap.channels == 4;
    if (bitmap.empty() || !layoutFits || bitmap.pixels.size() < bitmap.stride() * std::size_t(bitmap.height))
        return WriteResult::notCreated;
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) return WriteResult::notCreated;

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quietWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        file.reset();
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        return WriteResult::notCreated;
    }
    volatile bool finished = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file.get());
        const int type = stored == Stored::grey  ? PNG_COLOR_TYPE_GRAY
                         : stored == Stored::rgb ? PNG_COLOR_TYPE_RGB
                                                 : PNG_COLOR_TYPE_RGB_ALPHA;
        png_set_IHDR(png, info, png_uint_32(bitmap.width), png_uint_32(bitmap.height), 8, type, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_set_compression_level(png, 1);
        if (stored != Stored::grey) png_set_sRGB_gAMA_and_cHRM(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
        png_write_info(png, info);
        if (stored == Stored::rgb) png_set_filler(png, 0, PNG_FILLER_AFTER);  // the fourth byte in memory is skipped
        for (int y = 0; y < bitmap.height; ++y) png_write_row(png, bitmap.row(y));
        png_write_end(png, nullptr);
        finished = true;
    }
    png_destroy_write_struct(&png, &info);
    const bool closed = std::fclose(file.release()) == 0;
    if (finished && closed) return WriteResult::written;
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return WriteResult::notFinished;
}

namespace {

// The stored samples of a PNG as RGBA rows, 8 bits per sample, or 16 (host
// order) for 16-bit files when `keepSixteen`; 16-bit files are otherwise
// scaled to 8 bits with rounding.
struct Samples {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    bool wide = false;
    std::vector<std::uint8_t> bytes;
};

std::optional<Samples> decode(const std::filesystem::path& path, bool keepSixteen) {
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return std::nullopt;
    png_byte signature[8];
    if (std::fread(signature, 1, 8, file.get()) != 8 || png_sig_cmp(signature, 0, 8) != 0) return std::nullopt;

    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, quietWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return std::nullopt;
    }
    // No C++ object is made between a setjmp and the libpng calls it guards,
    // so an error's longjmp skips no destructor.
    volatile png_uint_32 width = 0;
    volatile png_uint_32 height = 0;
    volatile bool wide = false;
    volatile bool usable = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file.get());
        png_set_sig_bytes(png, 8);
        png_set_user_limits(png, 100'000, 100'000);
        png_read_info(png, info);
        const int colourType = png_get_color_type(png, info);
        const int depth = png_get_bit_depth(png, info);
        // Every layout becomes RGBA; no gamma or colour transform is set.
        if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
        if (colourType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
        if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
        if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
        wide = depth == 16 && keepSixteen;
        if (depth == 16 && !keepSixteen) png_set_scale_16(png);
        png_set_add_alpha(png, wide ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
        if (wide) png_set_swap(png);  // host order (little-endian machines)
        png_set_interlace_handling(png);
        png_read_update_info(png, info);
        width = png_get_image_width(png, info);
        height = png_get_image_height(png, info);
        usable = width > 0 && height > 0 && png_get_rowbytes(png, info) == std::size_t(width) * (wide ? 8 : 4);
    }
    if (!usable) {
        png_destroy_read_struct(&png, &info, nullptr);
        return std::nullopt;
    }
    Samples out;
    out.width = width;
    out.height = height;
    out.wide = wide;
    const std::size_t rowBytes = std::size_t(out.width) * 4 * (out.wide ? 2 : 1);
    out.bytes.resize(rowBytes * out.height);
    std::vector<png_bytep> rows(out.height);
    for (png_uint_32 y = 0; y < out.height; ++y) rows[y] = out.bytes.data() + std::size_t(y) * rowBytes;
    volatile bool complete = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        complete = true;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    if (!complete) return std::nullopt;
    return out;
}

}  // namespace

std::optional<Imaging::Image> read(const std::filesystem::path& path) {
    const std::optional<Samples> samples = decode(path, true);
    if (!samples) return std::nullopt;
    const png_uint_32 w = samples->width;
    Imaging::Image image(Imaging::Rect{0, 0, int(w), int(samples->height)});
    Imaging::forRows(int(samples->height), [&](int begin, int end) {
        for (int y = begin; y < end; ++y) {
            Imaging::Pixel* o = image.mutableMat().ptr<Imaging::Pixel>(y);
            if (samples->wide) {
                const auto* s = reinterpret_cast<const std::uint16_t*>(samples->bytes.data()) + std::size_t(y) * w * 4;
                for (png_uint_32 x = 0; x < w; ++x, s += 4)
                    o[x] = {s[0] / 65535.0f, s[1] / 65535.0f, s[2] / 65535.0f, s[3] / 65535.0f};
            } else {
                const std::uint8_t* s = samples->bytes.data() + std::size_t(y) * w * 4;
                for (png_uint_32 x = 0; x < w; ++x, s += 4)
                    o[x] = {s[0] / 255.0f, s[1] / 255.0f, s[2] / 255.0f, s[3] / 255.0f};
            }
        }
    });
    return image;
}

std::optional<Imaging::Bitmap> readRGBA8(const std::filesystem::path& path) {
    std::optional<Samples> samples = decode(path, false);
    if (!samples) return std::nullopt;
    Imaging::Bitmap bitmap;
    bitmap.width = int(samples->width);
    bitmap.height = int(samples->height);
    bitmap.channels = 4;
    bitmap.pixels = std::move(samples->bytes);
    return bitmap;
}

}  // namespace PNGFile
