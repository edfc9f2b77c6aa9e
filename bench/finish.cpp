// The finisher's per-file work on a 24-megapixel delivery: the profile read,
// the full-decode inspection, the SHA-256 receipt and the metadata carrying.
#include <benchmark/benchmark.h>

#include <turbojpeg.h>

#include <exiv2/exiv2.hpp>

#include <stdexcept>
#include <vector>

#include "finish/delivery_jpeg.h"
#include "finish/folder.h"
#include "jpegprofile/jpegprofile.h"

namespace {

using Finish::Bytes;

Bytes encode(int width, int height, int seed) {
    std::vector<unsigned char> pixels(std::size_t(width) * height * 3);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = (unsigned char)((i * 2654435761u >> 13) + seed);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0) != 0)
        throw std::runtime_error("encode failed");
    Bytes bytes(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

Bytes withOrientation(const Bytes& jpeg, int orientation) {
    Exiv2::XmpParser::initialize();
    auto image = Exiv2::ImageFactory::open(jpeg.data(), long(jpeg.size()));
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = std::uint16_t(orientation);
    exif["Exif.Image.Artist"] = std::string("Bench Photographer");
    image->setExifData(exif);
    image->writeMetadata();
    auto& io = image->io();
    io.open();
    Bytes out(std::size_t(io.size()));
    io.read(out.data(), long(out.size()));
    io.close();
    return out;
}

struct Files {
    Bytes delivered, render;
    Files() {
        const Bytes& icc = JPEGColourProfile::sRGBProfile();
        delivered = *JPEGColourProfile::embed(icc, withOrientation(encode(6000, 4000, 1), 6));
        render = *JPEGColourProfile::embed(icc, encode(4000, 6000, 2));
    }
};

const Files& files() {
    static const Files f;
    return f;
}

void BM_ProfileSource(benchmark::State& state) {
    const Bytes& jpeg = files().delivered;
    // Only the header segments are walked, whatever the file's size.
    for (auto _ : state) benchmark::DoNotOptimize(JPEGColourProfile::source(jpeg));
}
BENCHMARK(BM_ProfileSource)->Unit(benchmark::kMicrosecond);

void BM_ReceiptHash(benchmark::State& state) {
    const Bytes& jpeg = files().delivered;
    for (auto _ : state) benchmark::DoNotOptimize(Finish::sha256Hex(jpeg));
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(jpeg.size()));
}
BENCHMARK(BM_ReceiptHash)->Unit(benchmark::kMillisecond);

void BM_Inspect24MP(benchmark::State& state) {
    const Bytes& jpeg = files().delivered;
    for (auto _ : state) benchmark::DoNotOptimize(Finish::DeliveryJPEG::inspect(jpeg));
}
BENCHMARK(BM_Inspect24MP)->Unit(benchmark::kMillisecond);

void BM_CarryingMetadata24MP(benchmark::State& state) {
    const Files& f = files();
    for (auto _ : state) benchmark::DoNotOptimize(Finish::DeliveryJPEG::carryingMetadata(f.delivered, f.render));
}
BENCHMARK(BM_CarryingMetadata24MP)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
