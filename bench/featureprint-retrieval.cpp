// How well the feature print finds a photo again after everyday changes.
//
// Every JPEG and HEIC photo under the shared fixtures folder (../shared/fixtures
// beside the repository, or $MERROW_FIXTURES) is decoded, bounded to 1024 pixels,
// and printed; so are five variants of each: half size, recompressed at JPEG
// quality 50, a 90 % centre crop, half a stop brighter, and rotated by 2° (black
// corners). A variant is found when the nearest original (L2) is its own.
// Originals whose pixels are practically the same picture (the fixtures hold
// copies differing only in metadata) are one photo: finding the copy counts.
//
// Prints the found rate per variant kind and the distances: variant to its own
// original, and between different photos. With MERROW_PRINT_EDGE=400 every
// picture is first bounded to 400 pixels, as previews are before they are
// printed. The benchmark itself times one print.

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <libheif/heif.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include "engine/imaging/bitmap.h"
#include "engine/library/analysis.h"

namespace fs = std::filesystem;

namespace {

fs::path fixturesDir() {
    if (const char* dir = std::getenv("MERROW_FIXTURES")) return dir;
    return fs::path(__FILE__).parent_path().parent_path().parent_path() / "shared" / "fixtures";
}

// ---- Decoding ------------------------------------------------------------------

struct JPEGError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void jpegFail(j_common_ptr info) { std::longjmp(reinterpret_cast<JPEGError*>(info->err)->jump, 1); }

// Decodes a JPEG to RGB, at the smallest libjpeg scale that keeps 1024 pixels.
std::optional<cv::Mat> decodeJPEG(const fs::path& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    jpeg_decompress_struct info{};
    JPEGError error{};
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFail;
    cv::Mat result;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        std::fclose(file);
        return std::nullopt;
    }
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    bool cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    unsigned longEdge = std::max(info.image_width, info.image_height);
    info.scale_num = 1;
    info.scale_denom = 1;
    while (info.scale_denom < 8 && longEdge / (info.scale_denom * 2) >= 1024) info.scale_denom *= 2;
    jpeg_start_decompress(&info);
    cv::Mat decoded(int(info.output_height), int(info.output_width), cmyk ? CV_8UC4 : CV_8UC3);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = decoded.ptr<std::uint8_t>(int(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    if (!cmyk) return decoded;
    // Adobe-style inverted CMYK: each stored sample is 255 minus the ink.
    result.create(decoded.rows, decoded.cols, CV_8UC3);
    for (int y = 0; y < decoded.rows; ++y)
        for (int x = 0; x < decoded.cols; ++x) {
            auto p = decoded.at<cv::Vec4b>(y, x);
            result.at<cv::Vec3b>(y, x) = {std::uint8_t(p[0] * p[3] / 255), std::uint8_t(p[1] * p[3] / 255),
                                          std::uint8_t(p[2] * p[3] / 255)};
        }
    return result;
}

std::optional<cv::Mat> decodeHEIF(const fs::path& path) {
    heif_context* context = heif_context_alloc();
    std::optional<cv::Mat> result;
    heif_image_handle* handle = nullptr;
    heif_image* image = nullptr;
    if (heif_context_read_from_file(context, path.c_str(), nullptr).code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &handle).code == heif_error_Ok &&
        heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr).code == heif_error_Ok) {
        int stride = 0;
        const std::uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
        int w = heif_image_get_width(image, heif_channel_interleaved), h = heif_image_get_height(image, heif_channel_interleaved);
        if (plane && w > 0 && h > 0) result = cv::Mat(h, w, CV_8UC3, const_cast<std::uint8_t*>(plane), stride).clone();
    }
    if (image) heif_image_release(image);
    if (handle) heif_image_handle_release(handle);
    heif_context_free(context);
    return result;
}

// ---- Variants ------------------------------------------------------------------

cv::Mat bounded(const cv::Mat& picture, int longEdge) {
    double scale = double(longEdge) / std::max(picture.cols, picture.rows);
    if (scale >= 1) return picture;
    cv::Mat out;
    cv::resize(picture, out, cv::Size(std::max(1, int(std::lround(picture.cols * scale))), std::max(1, int(std::lround(picture.rows * scale)))),
               0, 0, cv::INTER_AREA);
    return out;
}

cv::Mat halfSize(const cv::Mat& p) {
    cv::Mat out;
    cv::resize(p, out, cv::Size(std::max(1, p.cols / 2), std::max(1, p.rows / 2)), 0, 0, cv::INTER_AREA);
    return out;
}

cv::Mat jpegQuality50(const cv::Mat& p) {
    tjhandle compressor = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    cv::Mat continuous = p.clone();
    tjCompress2(compressor, continuous.data, continuous.cols, int(continuous.step), continuous.rows, TJPF_RGB, &jpeg, &size,
                TJSAMP_420, 50, 0);
    tjDestroy(compressor);
    cv::Mat out(p.rows, p.cols, CV_8UC3);
    tjhandle decompressor = tjInitDecompress();
    tjDecompress2(decompressor, jpeg, size, out.data, out.cols, int(out.step), out.rows, TJPF_RGB, 0);
    tjDestroy(decompressor);
    tjFree(jpeg);
    return out;
}

cv::Mat centreCrop(const cv::Mat& p) {
    int w = std::max(1, int(p.cols * 0.9)), h = std::max(1, int(p.rows * 0.9));
    return p(cv::Rect((p.cols - w) / 2, (p.rows - h) / 2, w, h)).clone();
}

cv::Mat brighter(const cv::Mat& p) {
    cv::Mat table(1, 256, CV_8U);
    for (int i = 0; i < 256; ++i) {
        double v = i / 255.0;
        double linear = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        linear = std::min(linear * std::sqrt(2.0), 1.0);
        double encoded = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1 / 2.4) - 0.055;
        table.at<std::uint8_t>(i) = cv::saturate_cast<std::uint8_t>(encoded * 255 + 0.5);
    }
    cv::Mat out;
    cv::LUT(p, table, out);
    return out;
}

cv::Mat rotated(const cv::Mat& p) {
    cv::Mat out;
    cv::Mat turn = cv::getRotationMatrix2D(cv::Point2f(p.cols / 2.0f, p.rows / 2.0f), 2.0, 1.0);
    cv::warpAffine(p, out, turn, p.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0, 0, 0));
    return out;
}

Imaging::Bitmap toBitmap(const cv::Mat& p) {
    Imaging::Bitmap bitmap(p.cols, p.rows, 3);
    for (int y = 0; y < p.rows; ++y) std::memcpy(bitmap.row(y), p.ptr(y), bitmap.stride());
    return bitmap;
}

Extraction::FeaturePrintVector printOf(const cv::Mat& picture) {
    static const int edge = std::getenv("MERROW_PRINT_EDGE") ? std::atoi(std::getenv("MERROW_PRINT_EDGE")) : 0;
    return *Extraction::featurePrintVector(toBitmap(edge > 0 ? bounded(picture, edge) : picture));
}

double distance(const Extraction::FeaturePrintVector& a, const Extraction::FeaturePrintVector& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return std::sqrt(sum);
}

// Mean absolute difference of two pictures squeezed to 32 x 32.
double pixelDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat sa, sb, diff;
    cv::resize(a, sa, cv::Size(32, 32), 0, 0, cv::INTER_AREA);
    cv::resize(b, sb, cv::Size(32, 32), 0, 0, cv::INTER_AREA);
    cv::absdiff(sa, sb, diff);
    cv::Scalar m = cv::mean(diff);
    return (m[0] + m[1] + m[2]) / 3;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[std::size_t(std::lround(p * double(values.size() - 1)))];
}

struct Photo {
    std::string name;
    cv::Mat picture;
    Extraction::FeaturePrintVector print{};
    int group = 0;
};

void evaluate() {
    fs::path dir = fixturesDir();
    if (!fs::is_directory(dir)) {
        std::cout << "retrieval: fixtures folder not found (" << dir << "); set MERROW_FIXTURES\n";
        return;
    }
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".jpg" || ext == ".jpeg" || ext == ".heic" || ext == ".heif") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    bool verbose = std::getenv("MERROW_VERBOSE") != nullptr;

    std::vector<Photo> photos;
    int unreadable = 0;
    for (const fs::path& file : files) {
        std::string ext = file.extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        auto decoded = (ext == ".heic" || ext == ".heif") ? decodeHEIF(file) : decodeJPEG(file);
        if (!decoded || decoded->empty()) {
            ++unreadable;
            if (verbose) std::cout << "  unreadable: " << fs::relative(file, dir).string() << "\n";
            continue;
        }
        Photo photo;
        photo.name = fs::relative(file, dir).string();
        photo.picture = bounded(*decoded, 1024);
        photo.print = printOf(photo.picture);
        photos.push_back(std::move(photo));
    }
    // Copies of one picture form one group.
    for (std::size_t i = 0; i < photos.size(); ++i) {
        photos[i].group = int(i);
        for (std::size_t j = 0; j < i; ++j)
            if (photos[j].group == int(j) && pixelDifference(photos[i].picture, photos[j].picture) < 6) {
                photos[i].group = int(j);
                break;
            }
    }
    int groups = 0;
    for (std::size_t i = 0; i < photos.size(); ++i) {
        groups += photos[i].group == int(i);
        if (verbose && photos[i].group != int(i))
            std::cout << "  same picture: " << photos[i].name << " = " << photos[std::size_t(photos[i].group)].name << "\n";
    }

    std::vector<double> between;
    for (std::size_t i = 0; i < photos.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (photos[i].group != photos[j].group) between.push_back(distance(photos[i].print, photos[j].print));

    struct Kind {
        const char* name;
        cv::Mat (*make)(const cv::Mat&);
    };
    const Kind kinds[] = {{"half size", halfSize}, {"JPEG q50", jpegQuality50}, {"90% crop", centreCrop},
                          {"+0.5 EV", brighter}, {"rotated 2deg", rotated}};
    int found = 0, total = 0, foundStrict = 0;
    std::vector<double> own, margins;
    for (const Kind& kind : kinds) {
        int kindFound = 0;
        std::vector<double> kindOwn;
        for (const Photo& photo : photos) {
            auto print = printOf(kind.make(photo.picture));
            double ownDistance = distance(print, photo.print);
            std::size_t nearest = 0;
            double nearestDistance = INFINITY, otherDistance = INFINITY;
            for (std::size_t j = 0; j < photos.size(); ++j) {
                double d = distance(print, photos[j].print);
                if (d < nearestDistance) nearestDistance = d, nearest = j;
                if (photos[j].group != photo.group) otherDistance = std::min(otherDistance, d);
            }
            bool hit = photos[nearest].group == photo.group;
            kindFound += hit;
            foundStrict += photos[nearest].name == photo.name;
            ++total;
            own.push_back(ownDistance);
            kindOwn.push_back(ownDistance);
            margins.push_back(otherDistance - ownDistance);
            if (verbose && !hit)
                std::cout << "  missed: " << kind.name << " of " << photo.name << " -> " << photos[nearest].name << " (own "
                          << ownDistance << ", nearest " << nearestDistance << ")\n";
        }
        found += kindFound;
        std::printf("retrieval: %-13s found %3d of %3d (%.1f %%), distance to own original median %.3f, max %.3f\n", kind.name,
                    kindFound, int(photos.size()), 100.0 * kindFound / double(photos.size()), percentile(kindOwn, 0.5),
                    percentile(kindOwn, 1.0));
    }
    std::printf("retrieval: %zu photos (%d distinct pictures, %d files unreadable), %d variants\n", photos.size(), groups,
                unreadable, total);
    std::printf("retrieval: found %d of %d = %.1f %% (counting only the very same file: %.1f %%)\n", found, total,
                100.0 * found / total, 100.0 * foundStrict / total);
    std::printf("retrieval: variant to own original: median %.3f, 95th percentile %.3f, max %.3f\n", percentile(own, 0.5),
                percentile(own, 0.95), percentile(own, 1.0));
    std::printf("retrieval: between different photos: min %.3f, 5th percentile %.3f, median %.3f\n", percentile(between, 0.0),
                percentile(between, 0.05), percentile(between, 0.5));
    std::printf("retrieval: margin (nearest other photo minus own original) per variant: min %.3f, 5th percentile %.3f, median %.3f\n",
                percentile(margins, 0.0), percentile(margins, 0.05), percentile(margins, 0.5));
}

void BM_FeaturePrint400(benchmark::State& state) {
    cv::Mat picture(267, 400, CV_8UC3);
    cv::randu(picture, 0, 255);
    cv::GaussianBlur(picture, picture, cv::Size(0, 0), 2.0);
    Imaging::Bitmap bitmap = toBitmap(picture);
    for (auto _ : state) benchmark::DoNotOptimize(Extraction::featurePrint(bitmap));
}
BENCHMARK(BM_FeaturePrint400)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    evaluate();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
