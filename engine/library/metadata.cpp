// Capture facts of a photo: pixel size, capture time, camera, serial number,
// lens, exposure and orientation, read with Exiv2 (LibRaw's header parse for
// RAW formats Exiv2 cannot read).

#include <charconv>
#include <cmath>
#include <ctime>
#include <initializer_list>

#include "engine/library/source_exiv2.h"
#include "engine/library/source_state.h"

namespace Extraction {

namespace {

// White space and line breaks in the Unicode sense: the space separators, the
// line and paragraph separators, tab to carriage return and next-line.
bool isBlank(char32_t c) {
    return c == 0x20 || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Length in bytes of the UTF-8 sequence that starts with this byte (1 for stray bytes).
std::size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xF0 && lead < 0xF8) return 4;
    if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
    if (lead >= 0xC0) return 2;
    return 1;
}

char32_t decodeAt(std::string_view text, std::size_t at, std::size_t length) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    switch (length) {
        case 2: return char32_t(byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
        case 3: return char32_t(byte(0) & 0x0F) << 12 | char32_t(byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
        case 4:
            return char32_t(byte(0) & 0x07) << 18 | char32_t(byte(1) & 0x3F) << 12 | char32_t(byte(2) & 0x3F) << 6 |
                   (byte(3) & 0x3F);
        default: return byte(0);
    }
}

std::string_view trimFront(std::string_view text) {
    while (!text.empty()) {
        std::size_t length = std::min(sequenceLength(static_cast<unsigned char>(text[0])), text.size());
        if (!isBlank(decodeAt(text, 0, length))) break;
        text.remove_prefix(length);
    }
    return text;
}

std::string_view trimBack(std::string_view text) {
    while (!text.empty()) {
        // Step back over continuation bytes to the start of the last character.
        std::size_t start = text.size() - 1;
        while (start > 0 && text.size() - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
            --start;
        std::size_t length = text.size() - start;
        if (sequenceLength(static_cast<unsigned char>(text[start])) != length) length = 1, start = text.size() - 1;
        if (!isBlank(decodeAt(text, start, length))) break;
        text.remove_suffix(length);
    }
    return text;
}

bool isTextType(Exiv2::TypeId type) {
    return type == Exiv2::asciiString || type == Exiv2::string || type == Exiv2::xmpText;
}

bool isNumberType(Exiv2::TypeId type) {
    switch (type) {
        case Exiv2::unsignedByte:
        case Exiv2::unsignedShort:
        case Exiv2::unsignedLong:
        case Exiv2::unsignedRational:
        case Exiv2::signedByte:
        case Exiv2::signedShort:
        case Exiv2::signedLong:
        case Exiv2::signedRational:
        case Exiv2::tiffFloat:
        case Exiv2::tiffDouble:
        case Exiv2::tiffIfd: return true;
        default: return false;
    }
}

bool isFloatType(Exiv2::TypeId type) { return type == Exiv2::tiffFloat || type == Exiv2::tiffDouble; }

// The number at index i of a numeric value; nothing for a zero denominator.
std::optional<double> numberAt(const Exiv2::Value& value, long i) {
    if (!isNumberType(value.typeId()) || value.count() <= i) return std::nullopt;
    if (isFloatType(value.typeId())) {
        // Exiv2's toFloat goes through single precision: a DOUBLE is read as it is
        // stored, a FLOAT as the shortest decimal that it stands for (2.8, not
        // 2.799999952316284).
        double v = 0;
        if (const auto* d = dynamic_cast<const Exiv2::ValueType<double>*>(&value)) {
            v = d->value_.at(static_cast<std::size_t>(i));
        } else if (const auto* f = dynamic_cast<const Exiv2::ValueType<float>*>(&value)) {
            const float single = f->value_.at(static_cast<std::size_t>(i));
            char text[32];
            auto [end, ec] = std::to_chars(text, text + sizeof text, single);
            if (ec != std::errc()) return std::nullopt;
            auto [_, parsed] = std::from_chars(text, end, v);
            if (parsed != std::errc()) v = single;
        } else {
            v = value.toFloat(i);
        }
        return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
    }
    Exiv2::Rational r = value.toRational(i);
    if (r.second == 0) return std::nullopt;
    return static_cast<double>(r.first) / r.second;
}

// Shortest decimal text of a number; integers print without a fraction.
std::string numberText(double v) {
    if (v == std::floor(v) && std::fabs(v) < 9.0e15) return std::to_string(static_cast<long long>(v));
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    return ec == std::errc() ? std::string(buffer, end) : std::string();
}

// cleanText of a tag: text as it is, a single number as its decimal text,
// anything else (lists, binary data) nothing.
std::optional<std::string> cleanValue(const Exiv2::Value& value) {
    if (isTextType(value.typeId())) {
        std::string text = value.toString();
        if (auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
        return cleanText(text);
    }
    if (isNumberType(value.typeId()) && value.count() == 1) {
        if (auto v = numberAt(value, 0)) return cleanText(numberText(*v));
    }
    return std::nullopt;
}

const Exiv2::Value* exifValue(const Exiv2::ExifData& exif, const char* key) {
    try {
        auto it = exif.findKey(Exiv2::ExifKey(key));
        if (it != exif.end()) return &it->value();
    } catch (...) {
    }
    return nullptr;
}

const Exiv2::Value* xmpValue(const Exiv2::XmpData& xmp, const char* key) {
    try {
        auto it = xmp.findKey(Exiv2::XmpKey(key));
        if (it != xmp.end()) return &it->value();
    } catch (...) {
    }
    return nullptr;
}

std::optional<std::string> exifText(const Exiv2::ExifData& exif, const char* key) {
    const Exiv2::Value* value = exifValue(exif, key);
    return value ? cleanValue(*value) : std::nullopt;
}

std::optional<double> exifNumber(const Exiv2::ExifData& exif, const char* key) {
    const Exiv2::Value* value = exifValue(exif, key);
    if (!value || value->count() != 1) return std::nullopt;
    return numberAt(*value, 0);
}

// The first text found among the auxiliary sources: the XMP aux namespace and
// the maker notes that carry the same fact.
std::optional<std::string> auxiliaryText(const Exiv2::ExifData& exif, const Exiv2::XmpData& xmp, const char* xmpKey,
                                         std::initializer_list<const char*> exifKeys) {
    if (const Exiv2::Value* value = xmpValue(xmp, xmpKey)) {
        if (auto text = cleanValue(*value)) return text;
    }
    for (const char* key : exifKeys) {
        if (auto text = exifText(exif, key)) return text;
    }
    return std::nullopt;
}

std::optional<std::string> nonEmpty(const std::string& text) { return cleanText(text); }

// The value at index i of a tag as a signed 16-bit number (Canon stores signed
// values in unsigned shorts).
std::optional<int> signedShortAt(const Exiv2::ExifData& exif, const char* key, long i = 0) {
    const Exiv2::Value* value = exifValue(exif, key);
    if (!value || value->count() <= i) return std::nullopt;
    auto v = numberAt(*value, i);
    if (!v) return std::nullopt;
    return static_cast<int>(static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<long long>(*v))));
}

// A CRW file keeps its capture facts in Canon's own records, not in EXIF: Exiv2
// derives a rounded exposure time (1 s where the camera recorded 5.04 s) and no
// ISO, focal length or serial number. They are taken from the records instead.
void fillFromCanonRecords(ImageMetadata& m, const Exiv2::ExifData& exif) {
    if (auto shutter = signedShortAt(exif, "Exif.CanonSi.ShutterSpeedValue"); shutter && *shutter != 0)
        m.exposureTime = std::exp2(-canonEv(*shutter));
    if (!m.iso) {
        if (auto speed = signedShortAt(exif, "Exif.CanonSi.ISOSpeed"); speed && *speed > 0)
            m.iso = std::llround(std::exp2(canonEv(*speed)) * 100.0 / 32.0);
    }
    if (!m.focalLength) {
        if (auto focal = signedShortAt(exif, "Exif.Canon.FocalLength", 1); focal && *focal > 0) {
            auto units = signedShortAt(exif, "Exif.CanonCs.Lens", 2);
            m.focalLength = static_cast<double>(*focal) / (units && *units > 0 ? *units : 1);
        }
    }
    if (!m.cameraSerial) {
        // Two numbers in a CRW: the serial number, then a constant.
        if (const Exiv2::Value* serial = exifValue(exif, "Exif.Canon.SerialNumber");
            serial && serial->count() >= 1 && isNumberType(serial->typeId())) {
            if (auto v = numberAt(*serial, 0); v && *v > 0) m.cameraSerial = numberText(*v);
        }
    }
}

}  // namespace

std::optional<std::string> cleanText(std::string_view value) {
    std::string_view trimmed = trimBack(trimFront(value));
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

std::optional<std::string> cameraName(const std::optional<std::string>& make, const std::optional<std::string>& model) {
    if (!model) return make;
    if (!make) return model;
    auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    if (lower(*model).starts_with(lower(*make))) return model;
    return *make + " " + *model;
}

double canonEv(int value) {
    const int magnitude = std::abs(value);
    const int fraction = magnitude & 0x1f;
    double steps = magnitude - fraction;
    if (fraction == 0x0c)
        steps += 32.0 / 3;  // a third
    else if (fraction == 0x14)
        steps += 64.0 / 3;  // two thirds
    else
        steps += fraction;
    return (value < 0 ? -steps : steps) / 32.0;
}

std::optional<int> orientationFromFlip(int flip) {
    switch (flip) {
        case 0: return 1;
        case 3: return 3;
        case 5: return 8;
        case 6: return 6;
        default: return std::nullopt;
    }
}

ImageMetadata metadataFromExiv2(Exiv2::Image& image) {
    ImageMetadata m = metadataFromTags(image.exifData(), image.xmpData());
    if (image.imageType() == Exiv2::ImageType::crw) fillFromCanonRecords(m, image.exifData());
    return m;
}

ImageMetadata metadataFromTags(const Exiv2::ExifData& exif, const Exiv2::XmpData& xmp) {
    ImageMetadata m;

    m.camera = cameraName(exifText(exif, "Exif.Image.Make"), exifText(exif, "Exif.Image.Model"));
    m.shotAt = exifText(exif, "Exif.Photo.DateTimeOriginal");

    m.cameraSerial = exifText(exif, "Exif.Photo.BodySerialNumber");
    if (!m.cameraSerial) {
        m.cameraSerial = auxiliaryText(exif, xmp, "Xmp.aux.SerialNumber",
                                       {"Exif.Canon.SerialNumber", "Exif.Nikon3.SerialNumber",
                                        "Exif.Olympus.SerialNumber", "Exif.OlympusEq.SerialNumber",
                                        "Exif.Pentax.SerialNumber", "Exif.Fujifilm.SerialNumber"});
    }
    m.lens = exifText(exif, "Exif.Photo.LensModel");
    if (!m.lens) {
        m.lens = auxiliaryText(exif, xmp, "Xmp.aux.Lens",
                               {"Exif.Canon.LensModel", "Exif.OlympusEq.LensModel", "Exif.Panasonic.LensType"});
    }

    m.focalLength = exifNumber(exif, "Exif.Photo.FocalLength");
    m.exposureTime = exifNumber(exif, "Exif.Photo.ExposureTime");
    m.aperture = exifNumber(exif, "Exif.Photo.FNumber");

    if (const Exiv2::Value* iso = exifValue(exif, "Exif.Photo.ISOSpeedRatings")) {
        if (isNumberType(iso->typeId()) && iso->count() > 0) {
            if (auto first = numberAt(*iso, 0)) m.iso = static_cast<long long>(*first);
        }
    }
    if (const Exiv2::Value* orientation = exifValue(exif, "Exif.Image.Orientation")) {
        if (auto v = numberAt(*orientation, 0)) m.orientation = static_cast<int>(*v);
    }
    return m;
}

ImageMetadata metadataFromRawFacts(const RawFacts& facts) {
    ImageMetadata m;
    m.camera = cameraName(nonEmpty(facts.make), nonEmpty(facts.model));
    if (facts.timestamp > 0) {
        std::time_t t = static_cast<std::time_t>(facts.timestamp);
        std::tm local{};
        if (localtime_r(&t, &local)) {
            char text[32];
            if (std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local)) m.shotAt = text;
        }
    }
    m.cameraSerial = nonEmpty(facts.serial);
    m.lens = nonEmpty(facts.lens);
    if (facts.focalLength > 0) m.focalLength = facts.focalLength;
    if (facts.shutter > 0) m.exposureTime = facts.shutter;
    if (facts.aperture > 0) m.aperture = facts.aperture;
    if (facts.iso > 0) m.iso = static_cast<long long>(facts.iso);
    return m;
}

ImageMetadata metadata(const Source& source) {
    if (!source.state) return {};
    return source.state->metadata;
}

}  // namespace Extraction
