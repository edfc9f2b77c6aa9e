// Decoding gelatin's request line, looks included, from arbitrary bytes: a
// line is decoded or dropped, never anything else. A decoded look must encode
// and decode again to the same look.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/develop/look.h"
#include "engine/protocol/records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const auto request = Protocol::decodeRequest(line);
    if (!request || !request->look) return 0;
    const nlohmann::json encoded = Develop::encodeLook(*request->look);
    const auto again = Develop::decodeLook(encoded);
    if (!again || Develop::cacheText(*again) != Develop::cacheText(*request->look)) std::abort();
    return 0;
}
