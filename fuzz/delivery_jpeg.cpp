// Inspecting arbitrary bytes as a delivered JPEG, and carrying their metadata
// segments onto themselves: every outcome is a result or one of the
// finisher's own failures.
#include <cstdint>
#include <string>

#include "finish/carried_metadata.h"
#include "finish/delivery_jpeg.h"
#include "jpegprofile/jpegprofile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Finish::Bytes bytes(data, data + size);
    try {
        Finish::DeliveryJPEG::inspect(bytes);
    } catch (const Finish::FinishFailure&) {
    } catch (const JPEGColourProfile::Failure&) {
    }
    try {
        Finish::CarriedMetadata::carry(bytes, bytes, 16, 9, Finish::CarriedMetadata::Coding::delivered);
    } catch (const Finish::FinishFailure&) {
    }
    // The same bytes as an EXIF structure and as an XMP packet.
    (void)Finish::CarriedMetadata::uprightExif(bytes, 70000, 9);
    (void)Finish::CarriedMetadata::uprightXMP(std::string(bytes.begin(), bytes.end()), 70000, 9);
    return 0;
}
