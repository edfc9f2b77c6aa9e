// JPEG decoding (libjpeg, with DCT-domain scaling and a silent error manager
// that never exits and tells damaged data apart) and encoding (TurboJPEG).

#include "engine/library/jpeg_codec.h"

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <memory>

#include <jpeglib.h>
// jerror.h after jpeglib.h: it defines the message codes.
#include <jerror.h>
#include <turbojpeg.h>

namespace Extraction {

namespace {

// Progressive data can hold any number of scans; damaged or hostile files are
// stopped well before that turns into minutes of work.
constexpr int maxScans = 1000;
// Larger pictures are refused rather than decoded (JPEG allows 65535 on a side).
constexpr long long maxDecodedPixels = 1LL << 30;

struct ErrorManager {
    jpeg_error_mgr base{};
    std::jmp_buf jump{};
    bool damaged = false;
};

[[noreturn]] void onError(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(manager->jump, 1);
}

void onMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    // A few stray bytes between segments are common in camera files and lose nothing.
    if (cinfo->err->msg_code != JWRN_EXTRANEOUS_DATA) manager->damaged = true;
}

void onOutput(j_common_ptr) {}

void onProgress(j_common_ptr cinfo) {
    auto* dinfo = reinterpret_cast<j_decompress_ptr>(cinfo);
    if (dinfo->input_scan_number > maxScans) onError(cinfo);
}

// The DCT scale n/8 for decoding a picture with this long edge to at least maxPixel.
int scaleNumerator(int longEdge, int maxPixel) {
    if (maxPixel <= 0) return 8;
    for (int n = 1; n < 8; ++n) {
        long long scaled = (static_cast<long long>(longEdge) * n + 7) / 8;
        if (scaled >= maxPixel) return n;
    }
    return 8;
}

// One CMYK sample to RGB. Adobe writes the inks inverted (255 = no ink).
void cmykToRGB(const std::uint8_t* cmyk, std::uint8_t* rgb, bool inverted) {
    int k = inverted ? cmyk[3] : 255 - cmyk[3];
    for (int i = 0; i < 3; ++i) {
        int c = inverted ? cmyk[i] : 255 - cmyk[i];
        rgb[i] = static_cast<std::uint8_t>((c * k + 127) / 255);
    }
}

// Where the pixels of a stored picture go when it is turned upright as an EXIF
// orientation says (the same turns as applyOrientation): the target pixel of
// stored pixel (x, y) is origin + x * stepX + y * stepY, counted in pixels.
struct Placement {
    int width = 0;  // the upright picture's size
    int height = 0;
    std::ptrdiff_t origin = 0;
    std::ptrdiff_t stepX = 1;
    std::ptrdiff_t stepY = 0;
};

Placement placementFor(int orientation, int width, int height) {
    const bool transposed = orientation >= 5 && orientation <= 8;
    Placement p;
    p.width = transposed ? height : width;
    p.height = transposed ? width : height;
    // Target column and row of (x, y): column = c0 + cx x + cy y, row = r0 + rx x + ry y.
    std::ptrdiff_t c0 = 0, cx = 1, cy = 0, r0 = 0, rx = 0, ry = 1;
    switch (orientation) {
        case 2: c0 = width - 1, cx = -1; break;                                       // mirrored left to right
        case 3: c0 = width - 1, cx = -1, r0 = height - 1, ry = -1; break;             // upside down
        case 4: r0 = height - 1, ry = -1; break;                                      // mirrored top to bottom
        case 5: cx = 0, cy = 1, rx = 1, ry = 0; break;                                // along the diagonal
        case 6: c0 = height - 1, cx = 0, cy = -1, rx = 1, ry = 0; break;              // quarter clockwise
        case 7: c0 = height - 1, cx = 0, cy = -1, r0 = width - 1, rx = -1, ry = 0; break;  // other diagonal
        case 8: cx = 0, cy = 1, r0 = width - 1, rx = -1, ry = 0; break;               // quarter anticlockwise
        default: break;
    }
    p.origin = r0 * p.width + c0;
    p.stepX = rx * p.width + cx;
    p.stepY = ry * p.width + cy;
    return p;
}

// Copies a block of decoded RGB rows (stored rows y0 ...) to their upright places.
// Going down the block's rows for each column keeps the writes of a quarter turn
// next to each other.
void placeRows(const std::uint8_t* block, int rows, int y0, int width, const Placement& p, Imaging::Bitmap& target) {
    std::uint8_t* pixels = target.pixels.data();
    for (int x = 0; x < width; ++x) {
        std::ptrdiff_t at = p.origin + x * p.stepX + std::ptrdiff_t(y0) * p.stepY;
        const std::uint8_t* source = block + std::size_t(x) * 3;
        for (int r = 0; r < rows; ++r, at += p.stepY, source += std::size_t(width) * 3) {
            std::uint8_t* target3 = pixels + at * 3;
            target3[0] = source[0], target3[1] = source[1], target3[2] = source[2];
        }
    }
}

struct DecompressGuard {
    jpeg_decompress_struct* cinfo;
    ~DecompressGuard() { jpeg_destroy_decompress(cinfo); }
};

}  // namespace

std::optional<DecodedJPEG> decodeJPEG(const std::uint8_t* data, std::size_t size, int maxPixel, int orientation) {
    if (!data || size < 4) return std::nullopt;

    // Everything the decoder fills lives behind pointers set before setjmp, so that
    // nothing read after a jump was changed in a register.
    auto cinfo = std::make_unique<jpeg_decompress_struct>();
    auto errors = std::make_unique<ErrorManager>();
    auto result = std::make_unique<DecodedJPEG>();
    auto progress = std::make_unique<jpeg_progress_mgr>();
    auto rowBuffer = std::make_unique<std::vector<std::uint8_t>>();
    auto blockBuffer = std::make_unique<std::vector<std::uint8_t>>();

    cinfo->err = jpeg_std_error(&errors->base);
    errors->base.error_exit = onError;
    errors->base.emit_message = onMessage;
    errors->base.output_message = onOutput;
    DecompressGuard guard{cinfo.get()};  // destroying a zeroed, never created struct is harmless
    if (setjmp(errors->jump)) return std::nullopt;
    jpeg_create_decompress(cinfo.get());

    progress->progress_monitor = onProgress;
    cinfo->progress = progress.get();
    jpeg_mem_src(cinfo.get(), data, static_cast<unsigned long>(size));
    if (jpeg_read_header(cinfo.get(), TRUE) != JPEG_HEADER_OK) return std::nullopt;
    if (cinfo->image_width == 0 || cinfo->image_height == 0) return std::nullopt;
    if (static_cast<long long>(cinfo->image_width) * cinfo->image_height > maxDecodedPixels) return std::nullopt;

    const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    int longEdge = static_cast<int>(std::max(cinfo->image_width, cinfo->image_height));
    cinfo->scale_num = static_cast<unsigned>(scaleNumerator(longEdge, maxPixel));
    cinfo->scale_denom = 8;

    jpeg_start_decompress(cinfo.get());
    const int width = static_cast<int>(cinfo->output_width);
    const int height = static_cast<int>(cinfo->output_height);
    // A turned picture is decoded a block of rows at a time into a small buffer and
    // each block placed where it belongs upright.
    const bool turned = orientation >= 2 && orientation <= 8;
    const int blockRows = turned ? 16 : 1;
    const Placement placement = placementFor(turned ? orientation : 1, width, height);
    result->bitmap = Imaging::Bitmap(placement.width, placement.height, 3);
    result->fullWidth = static_cast<int>(cinfo->image_width);
    result->fullHeight = static_cast<int>(cinfo->image_height);
    if (cmyk) rowBuffer->resize(static_cast<std::size_t>(width) * 4);
    if (turned) blockBuffer->resize(static_cast<std::size_t>(width) * 3 * blockRows);

    while (cinfo->output_scanline < cinfo->output_height) {
        const int y0 = static_cast<int>(cinfo->output_scanline);
        const int rows = std::min(blockRows, height - y0);
        // Where decoded row r of this block goes, as RGB.
        auto rgbRow = [&](int r) {
            return turned ? blockBuffer->data() + static_cast<std::size_t>(r) * width * 3 : result->bitmap.row(y0 + r);
        };
        for (int r = 0; r < rows; ++r) {
            JSAMPROW row = cmyk ? rowBuffer->data() : rgbRow(r);
            if (jpeg_read_scanlines(cinfo.get(), &row, 1) != 1) return std::nullopt;
            if (cmyk) {
                for (int x = 0; x < width; ++x) cmykToRGB(row + 4 * x, rgbRow(r) + 3 * x, cinfo->saw_Adobe_marker);
            }
        }
        if (turned) placeRows(blockBuffer->data(), rows, y0, width, placement, result->bitmap);
    }
    jpeg_finish_decompress(cinfo.get());
    result->complete = !errors->damaged;
    return std::move(*result);
}

std::optional<std::pair<int, int>> jpegSize(const std::uint8_t* data, std::size_t size) {
    tjhandle handle = tjInitDecompress();
    if (!handle) return std::nullopt;
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    int status = tjDecompressHeader3(handle, data, static_cast<unsigned long>(size), &width, &height, &subsampling,
                                     &colourspace);
    tjDestroy(handle);
    if (status != 0 || width <= 0 || height <= 0) return std::nullopt;
    return std::make_pair(width, height);
}

}  // namespace Extraction
