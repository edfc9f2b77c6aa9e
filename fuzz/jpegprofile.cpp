// Reading and embedding JPEG ICC profiles on arbitrary bytes. Besides not
// crashing, embedding must be stable (embedding the same profile again gives
// the same bytes) and a profile read from a file must read back after it was
// embedded into that file.
#include <cstdint>
#include <cstdlib>

#include "jpegprofile/jpegprofile.h"

using JPEGColourProfile::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes jpeg(data, data + size);

    std::optional<Bytes> read;
    try {
        read = JPEGColourProfile::source(jpeg).icc;
    } catch (const JPEGColourProfile::Failure&) {
    }

    // A profile cut from the input itself: its first byte says how long.
    const std::size_t length = size ? std::min<std::size_t>(data[0] * 37u, size) : 0;
    const Bytes profile(data, data + length);
    if (const auto embedded = JPEGColourProfile::embed(profile, jpeg)) {
        if (JPEGColourProfile::embed(profile, *embedded) != embedded) std::abort();
    }

    if (read && *read != JPEGColourProfile::sRGBProfile()) {
        if (const auto again = JPEGColourProfile::embed(*read, jpeg)) {
            if (JPEGColourProfile::source(*again).icc != *read) std::abort();
        }
    }
    return 0;
}
