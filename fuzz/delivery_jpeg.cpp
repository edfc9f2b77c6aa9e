// Inspecting arbitrary bytes as a delivered JPEG: every outcome is a summary
// or one of the finisher's own failures.
#include <cstdint>

#include "finish/delivery_jpeg.h"
#include "jpegprofile/jpegprofile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Finish::Bytes bytes(data, data + size);
    try {
        Finish::DeliveryJPEG::inspect(bytes);
    } catch (const Finish::FinishFailure&) {
    } catch (const JPEGColourProfile::Failure&) {
    }
    return 0;
}
