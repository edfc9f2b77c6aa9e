// Opening photo files: the kind is found from the file's first bytes, then the
// header is read with the library for that kind (libjpeg-turbo, libheif, or
// LibRaw and Exiv2 for camera RAW files). No pixels are decoded here.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

#include <libheif/heif.h>
#include <libheif/heif_properties.h>
#include <libraw/libraw.h>

#include "engine/library/jpeg_codec.h"
#include "engine/library/open_file.h"
#include "engine/library/source_exiv2.h"
#include "engine/library/source_state.h"

namespace Extraction {

namespace fs = std::filesystem;

namespace {

std::mutex xmpToolkitLock;

void lockXmpToolkit(void*, bool lock) {
    if (lock)
        xmpToolkitLock.lock();
    else
        xmpToolkitLock.unlock();
}

// The first bytes of a file, nothing when it cannot be read or is empty.
std::optional<std::vector<std::uint8_t>> readHead(const fs::path& file, std::size_t count) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::vector<std::uint8_t> head(count);
    ssize_t got = ::read(fd, head.data(), count);
    ::close(fd);
    if (got <= 0) return std::nullopt;
    head.resize(static_cast<std::size_t>(got));
    return head;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// The brands of an ISO base media file ("ftyp" box: size, type, major brand,
// minor version, compatible brands), empty for any other file.
std::vector<std::string> brandsOf(const std::vector<std::uint8_t>& head) {
    std::vector<std::string> brands;
    if (head.size() < 16 || std::memcmp(head.data() + 4, "ftyp", 4) != 0) return brands;
    std::size_t end = std::min<std::size_t>(bigEndian32(head.data()), head.size());
    brands.emplace_back(reinterpret_cast<const char*>(head.data() + 8), 4);
    for (std::size_t at = 16; at + 4 <= end; at += 4) brands.emplace_back(reinterpret_cast<const char*>(head.data() + at), 4);
    return brands;
}

std::optional<SourceKind> kindOf(const std::vector<std::uint8_t>& head) {
    if (head.size() < 4) return std::nullopt;
    if (head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return SourceKind::jpeg;
    std::vector<std::string> brands = brandsOf(head);
    if (!brands.empty()) {
        if (brands.front() == "crx ") return SourceKind::raw;  // Canon CR3 is an ISO media file too
        static const std::array<std::string_view, 9> heifBrands{"heic", "heix", "heim", "heis", "hevc",
                                                                 "hevx", "mif1", "mif2", "msf1"};
        for (const std::string& brand : brands)
            if (std::find(heifBrands.begin(), heifBrands.end(), brand) != heifBrands.end()) return SourceKind::heif;
    }
    return SourceKind::raw;
}

// Files cut short inside their picture data (a copy interrupted while reading the
// card) are common. An ISO media file (CR3) keeps its metadata and previews in the
// boxes before the picture data, so the whole boxes before the first one that runs
// past the end of the file are still a readable file. Nothing when every box is whole.
constexpr std::uint64_t maxSalvagedBytes = 64ull << 20;

std::optional<std::vector<std::uint8_t>> wholeBoxesBeforeCut(const fs::path& file) {
    const OpenFile in(file);
    if (!in.isOpen()) return std::nullopt;
    const std::uint64_t size = std::uint64_t(in.size());
    std::uint64_t offset = 0;
    std::optional<std::uint64_t> cut;
    while (offset + 8 <= size) {
        std::uint8_t header[16] = {};
        const std::size_t got = std::size_t(std::min<std::uint64_t>(sizeof header, size - offset));
        if (!in.read(static_cast<long long>(offset), header, got)) return std::nullopt;
        std::uint64_t box = bigEndian32(header);
        if (box == 1) {
            if (got < 16) return std::nullopt;  // a 64-bit size cut off by the end of the file
            box = std::uint64_t(bigEndian32(header + 8)) << 32 | bigEndian32(header + 12);
        }
        if (box == 0) return std::nullopt;  // the last box, running to the end of the file
        if (box < 8) return std::nullopt;   // not an ISO media file after all
        if (box > size - offset) {
            cut = offset;
            break;
        }
        offset += box;
    }
    if (!cut || *cut < 8 || *cut > maxSalvagedBytes) return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*cut));
    if (!in.read(0, bytes.data(), bytes.size())) return std::nullopt;
    return bytes;
}

// The Exiv2 view of a file, or nothing when Exiv2 does not know its format.
std::shared_ptr<Exiv2::Image> readExiv2(const fs::path& file, bool isoMedia = false) {
    prepareExiv2();
    if (isoMedia) {
        try {
            auto image = adoptExiv2(Exiv2::ImageFactory::open(file.string()));
            if (image) {
                image->readMetadata();
                return image;
            }
        } catch (...) {
        }
        auto head = wholeBoxesBeforeCut(file);
        if (!head) return nullptr;
        try {
            // Exiv2 reads from the buffer without copying it: the buffer lives as long as the image.
            auto buffer = std::make_shared<std::vector<std::uint8_t>>(std::move(*head));
            Exiv2::Image* opened =
                Exiv2::ImageFactory::open(buffer->data(), static_cast<long>(buffer->size())).release();
            if (!opened) return nullptr;
            std::shared_ptr<Exiv2::Image> image(opened, [buffer](Exiv2::Image* p) { delete p; });
            image->readMetadata();
            return image;
        } catch (...) {
            return nullptr;
        }
    }
    try {
        int type = Exiv2::ImageFactory::getType(file.string());
        // A sidecar or an Exiv2 metadata dump is no photo.
        if (type == Exiv2::ImageType::none || type == Exiv2::ImageType::xmp || type == Exiv2::ImageType::exv)
            return nullptr;
        auto image = adoptExiv2(Exiv2::ImageFactory::open(file.string()));
        if (!image) return nullptr;
        image->readMetadata();
        return image;
    } catch (...) {
        return nullptr;
    }
}

// Best first: JPEG previews before bitmap thumbnails, larger before smaller.
void rankPreviews(std::vector<EmbeddedPreview>& previews) {
    std::stable_sort(previews.begin(), previews.end(), [](const EmbeddedPreview& a, const EmbeddedPreview& b) {
        if (a.jpeg != b.jpeg) return a.jpeg;
        return a.area() > b.area();
    });
}

// LibRaw keeps where its thumbnail lies to itself.
class LibRawReader : public LibRaw {
public:
    using LibRaw::LibRaw;
    long long thumbnailOffset() const { return libraw_internal_data.internal_data.toffset; }
};

// What LibRaw reads from a RAW header: pixel size, orientation, its chosen thumbnail.
struct LibRawHeader {
    RawFacts facts;
    int width = 0;
    int height = 0;
    int flip = 0;
    int thumbWidth = 0;
    int thumbHeight = 0;
    long long thumbOffset = 0;  // set for a JPEG thumbnail
    long long thumbLength = 0;
};

std::optional<LibRawHeader> readLibRaw(const fs::path& file) {
    try {
        auto raw = std::make_unique<LibRawReader>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
        if (raw->open_file(file.c_str()) != LIBRAW_SUCCESS) return std::nullopt;
        const libraw_data_t& d = raw->imgdata;
        LibRawHeader header;
        header.facts.make = d.idata.make;
        header.facts.model = d.idata.model;
        header.facts.lens = d.lens.Lens;
        header.facts.serial = d.shootinginfo.BodySerial;
        header.facts.timestamp = static_cast<long long>(d.other.timestamp);
        header.facts.iso = d.other.iso_speed;
        header.facts.shutter = d.other.shutter;
        header.facts.aperture = d.other.aperture;
        header.facts.focalLength = d.other.focal_len;
        header.width = d.sizes.width;
        header.height = d.sizes.height;
        header.flip = d.sizes.flip;
        if (d.thumbnail.tlength > 0) {
            header.thumbWidth = d.thumbnail.twidth;
            header.thumbHeight = d.thumbnail.theight;
            if (raw->is_jpeg_thumb() && raw->thumbnailOffset() > 0) {
                header.thumbOffset = raw->thumbnailOffset();
                header.thumbLength = d.thumbnail.tlength;
            }
        }
        return header;
    } catch (...) {
        return std::nullopt;
    }
}

// True when the file's top level holds a "meta" box, where a HEIF file keeps
// its images. libheif (as Debian builds it, assertions on) aborts the whole
// process on some damaged files without one, for instance when a box runs
// past the end of the file; such a file has no image for it to give anyway.
bool hasTopLevelMeta(const fs::path& file) {
    const OpenFile in(file);
    if (!in.isOpen()) return false;
    const std::uint64_t size = std::uint64_t(in.size());
    std::uint64_t offset = 0;
    for (int boxes = 0; offset + 8 <= size && boxes < 4096; ++boxes) {
        std::uint8_t header[16] = {};
        const std::size_t got = std::size_t(std::min<std::uint64_t>(sizeof header, size - offset));
        if (!in.read(static_cast<long long>(offset), header, got)) return false;
        if (std::memcmp(header + 4, "meta", 4) == 0) return true;
        std::uint64_t box = bigEndian32(header);
        if (box == 1) {
            if (got < 16) return false;
            box = std::uint64_t(bigEndian32(header + 8)) << 32 | bigEndian32(header + 12);
        }
        if (box < 8 || box > size - offset) return false;  // 0 (to the end), damaged, or cut off
        offset += box;
    }
    return false;
}

// The TIFF structure inside a HEIF "Exif" block: the block starts with the offset
// of the TIFF header (four bytes, big-endian) from its fifth byte, and many writers
// keep the "Exif\0\0" marker of JPEG files in front of the header as well.
std::optional<std::pair<const std::uint8_t*, std::size_t>> tiffInExifBlock(const std::vector<std::uint8_t>& block) {
    if (block.size() < 4) return std::nullopt;
    std::size_t at = 4 + static_cast<std::size_t>(bigEndian32(block.data()));
    if (at >= block.size()) at = 4;
    auto isTiff = [&](std::size_t i) {
        return i + 4 <= block.size() && ((block[i] == 'I' && block[i + 1] == 'I' && block[i + 2] == 42 && block[i + 3] == 0) ||
                                         (block[i] == 'M' && block[i + 1] == 'M' && block[i + 2] == 0 && block[i + 3] == 42));
    };
    if (!isTiff(at) && at + 6 <= block.size() && std::memcmp(block.data() + at, "Exif\0\0", 6) == 0) at += 6;
    if (!isTiff(at)) {
        // Misstated offsets are common: look for the header near the start.
        std::size_t limit = std::min<std::size_t>(block.size(), 64);
        for (at = 4; at < limit && !isTiff(at); ++at) {
        }
        if (!isTiff(at)) return std::nullopt;
    }
    return std::make_pair(block.data() + at, block.size() - at);
}

// The primary image's first EXIF block, parsed by Exiv2 from memory; nothing when
// there is none or it does not parse.
std::optional<Exiv2::ExifData> heifExif(heif_image_handle* primary) {
    int count = heif_image_handle_get_number_of_metadata_blocks(primary, "Exif");
    if (count <= 0) return std::nullopt;
    std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
    count = heif_image_handle_get_list_of_metadata_block_IDs(primary, "Exif", ids.data(), count);
    for (int i = 0; i < count; ++i) {
        std::size_t size = heif_image_handle_get_metadata_size(primary, ids[static_cast<std::size_t>(i)]);
        if (size < 8 || size > (64u << 20)) continue;
        std::vector<std::uint8_t> block(size);
        if (heif_image_handle_get_metadata(primary, ids[static_cast<std::size_t>(i)], block.data()).code != heif_error_Ok)
            continue;
        auto tiff = tiffInExifBlock(block);
        if (!tiff) continue;
        try {
            prepareExiv2();
            Exiv2::ExifData exif;
            if (Exiv2::ExifParser::decode(exif, tiff->first, static_cast<uint32_t>(tiff->second)) !=
                    Exiv2::invalidByteOrder &&
                !exif.empty())
                return exif;
        } catch (...) {
        }
    }
    return std::nullopt;
}

// libheif's view of a HEIF file: the stored size of the primary image, its
// thumbnails and its EXIF block.
bool readHeif(Source::State& state, std::optional<Exiv2::ExifData>& exif) {
    if (!state.heifBytes && !hasTopLevelMeta(state.file)) return false;
    heif_context* context = heif_context_alloc();
    if (!context) return false;
    bool ok = false;
    heif_image_handle* primary = nullptr;
    if (readHeifContext(state, context) &&
        heif_context_get_primary_image_handle(context, &primary).code == heif_error_Ok) {
        ok = true;
        state.metadata.rawW = heif_image_handle_get_ispe_width(primary);
        state.metadata.rawH = heif_image_handle_get_ispe_height(primary);
        state.heifColour = heifColourOf(primary);
        int count = heif_image_handle_get_number_of_thumbnails(primary);
        std::vector<heif_item_id> ids(static_cast<std::size_t>(std::max(count, 0)));
        count = heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
        for (int i = 0; i < count; ++i) {
            heif_image_handle* thumbnail = nullptr;
            if (heif_image_handle_get_thumbnail(primary, ids[static_cast<std::size_t>(i)], &thumbnail).code !=
                heif_error_Ok)
                continue;
            EmbeddedPreview preview;
            preview.origin = EmbeddedPreview::Origin::heif;
            preview.id = static_cast<int>(ids[static_cast<std::size_t>(i)]);
            preview.width = heif_image_handle_get_width(thumbnail);
            preview.height = heif_image_handle_get_height(thumbnail);
            state.heifThumbnails.push_back(preview);
            heif_image_handle_release(thumbnail);
        }
        exif = heifExif(primary);
        heif_image_handle_release(primary);
    }
    heif_context_free(context);
    return ok;
}

void keepPositiveSize(ImageMetadata& m, long long width, long long height) {
    if (width > 0 && height > 0) {
        m.rawW = width;
        m.rawH = height;
    }
}

}  // namespace

bool readHeifContext(const Source::State& state, heif_context* context) {
    if (state.heifBytes)
        return heif_context_read_from_memory_without_copy(context, state.heifBytes->data(), state.heifBytes->size(),
                                                          nullptr)
                   .code == heif_error_Ok;
    return heif_context_read_from_file(context, state.file.c_str(), nullptr).code == heif_error_Ok;
}

bool heifTurnsItself(const heif_context* context, const heif_image_handle* image) {
    const heif_item_id id = heif_image_handle_get_item_id(image);
    return heif_item_get_properties_of_type(context, id, heif_item_property_type_transform_rotation, nullptr, 0) > 0 ||
           heif_item_get_properties_of_type(context, id, heif_item_property_type_transform_mirror, nullptr, 0) > 0;
}

std::vector<EmbeddedPreview> exiv2Previews(const Source::State& state) {
    if (!state.exiv) return {};
    std::lock_guard lock(state.exivLock);
    if (state.exivPreviews) return *state.exivPreviews;
    std::vector<EmbeddedPreview> previews;
    try {
        state.exivPreviewManager = std::make_shared<Exiv2::PreviewManager>(*state.exiv);
        state.exivPreviewProperties = state.exivPreviewManager->getPreviewProperties();
        for (const Exiv2::PreviewProperties& p : state.exivPreviewProperties) {
            if (p.size_ == 0) continue;
            EmbeddedPreview preview;
            preview.origin = EmbeddedPreview::Origin::exiv2;
            preview.id = static_cast<int>(p.id_);
            preview.width = static_cast<int>(p.width_);
            preview.height = static_cast<int>(p.height_);
            preview.length = static_cast<long long>(p.size_);
            preview.jpeg = p.mimeType_ == "image/jpeg";
            previews.push_back(preview);
        }
    } catch (...) {
    }
    rankPreviews(previews);
    state.exivPreviews = previews;
    return previews;
}

std::optional<std::pair<std::vector<std::uint8_t>, bool>> exiv2PreviewData(const Source::State& state, int id) {
    std::lock_guard lock(state.exivLock);
    if (!state.exivPreviewManager) return std::nullopt;
    try {
        for (const Exiv2::PreviewProperties& p : state.exivPreviewProperties) {
            if (static_cast<int>(p.id_) != id) continue;
            Exiv2::PreviewImage image = state.exivPreviewManager->getPreviewImage(p);
            if (image.size() == 0) return std::nullopt;
            return std::make_pair(std::vector<std::uint8_t>(image.pData(), image.pData() + image.size()),
                                  image.mimeType() == "image/jpeg");
        }
    } catch (...) {
    }
    return std::nullopt;
}

void prepareExiv2() {
    static std::once_flag once;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::LogMsg::setHandler(nullptr);
        Exiv2::enableBMFF(true);
        Exiv2::XmpParser::initialize(lockXmpToolkit, nullptr);
    });
}

bool isRendered(const fs::path& file) {
    std::string extension = file.extension().string();
    if (extension.size() < 2) return false;
    extension.erase(0, 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(renderedExtensions.begin(), renderedExtensions.end(), extension) != renderedExtensions.end();
}

std::optional<Source> open(const fs::path& file) {
    try {
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) return std::nullopt;
        auto head = readHead(file, 256);
        if (!head) return std::nullopt;
        auto kind = kindOf(*head);
        if (!kind) return std::nullopt;

        auto state = std::make_shared<Source::State>();
        state->file = file;
        state->kind = *kind;

        switch (*kind) {
            case SourceKind::jpeg: {
                state->exiv = readExiv2(file);
                if (state->exiv) {
                    state->metadata = metadataFromExiv2(*state->exiv);
                    keepPositiveSize(state->metadata, state->exiv->pixelWidth(), state->exiv->pixelHeight());
                }
                if (!state->metadata.rawW) {
                    // Exiv2 gave up on the file's segments; the JPEG header may still be sound.
                    auto bytes = readWholeFile(file);
                    auto size = bytes ? jpegSize(bytes->data(), bytes->size()) : std::nullopt;
                    if (!size) return std::nullopt;
                    keepPositiveSize(state->metadata, size->first, size->second);
                }
                break;
            }
            case SourceKind::heif: {
                std::optional<Exiv2::ExifData> exif;
                bool read = readHeif(*state, exif);
                if (!read) {
                    // An image sequence: its first picture.
                    if (auto frame = firstFrameAsHeif(file)) {
                        state->heifBytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(*frame));
                        read = readHeif(*state, exif);
                        if (!read) state->heifBytes.reset();
                    }
                }
                if (read) {
                    ImageMetadata stored = state->metadata;
                    state->exiv = readExiv2(file);
                    // The EXIF block libheif finds first; Exiv2's own reading of the
                    // file when there is none (its XMP still counts either way).
                    if (exif) {
                        Exiv2::XmpData noXmp;
                        state->metadata = metadataFromTags(*exif, state->exiv ? state->exiv->xmpData() : noXmp);
                    } else if (state->exiv) {
                        state->metadata = metadataFromExiv2(*state->exiv);
                    }
                    state->metadata.rawW = stored.rawW;
                    state->metadata.rawH = stored.rawH;
                    break;
                }
                // libheif cannot read it (an image sequence, say): whatever the other
                // libraries find is still worth having, without any pixels.
                state->kind = SourceKind::raw;
                state->heifThumbnails.clear();
                state->metadata = {};
                [[fallthrough]];
            }
            case SourceKind::raw: {
                auto header = readLibRaw(file);
                state->exiv = readExiv2(file, !brandsOf(*head).empty());
                if (!header && !state->exiv) return std::nullopt;
                state->metadata = state->exiv ? metadataFromExiv2(*state->exiv) : metadataFromRawFacts(header->facts);
                if (header) {
                    keepPositiveSize(state->metadata, header->width, header->height);
                    if (!state->metadata.orientation) state->metadata.orientation = orientationFromFlip(header->flip);
                    if (header->thumbWidth > 0 && header->thumbHeight > 0) {
                        EmbeddedPreview preview;
                        preview.origin = EmbeddedPreview::Origin::libraw;
                        preview.width = header->thumbWidth;
                        preview.height = header->thumbHeight;
                        preview.offset = header->thumbOffset;
                        preview.length = header->thumbLength;
                        state->rawThumbnail = preview;
                    }
                } else if (state->exiv) {
                    keepPositiveSize(state->metadata, state->exiv->pixelWidth(), state->exiv->pixelHeight());
                }
                break;
            }
        }
        int orientation = state->metadata.orientation.value_or(1);
        state->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
        return Source{std::move(state)};
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace Extraction
