// Decoding the finisher's request line from arbitrary bytes. A line that is
// not UTF-8 must never decode, and every decoded text must come back
// unchanged through the reply writer.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "finish/reply.h"
#include "finish/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    try {
        const Finish::FinishRequest request = Finish::FinishRequest::decode(line);
        if (!Finish::validUTF8(line)) std::abort();
        nlohmann::json echo = {{"command", request.command}, {"folder", request.folder}, {"name", request.name}};
        if (request.source) echo["source"] = Finish::object(*request.source);
        if (request.folderIdentity) echo["folderIdentity"] = Finish::object(*request.folderIdentity);
        if (request.temporary) echo["temporary"] = *request.temporary;
        if (nlohmann::json::parse(Finish::jsonText(echo)) != echo) std::abort();
    } catch (const Finish::RequestDecodingError&) {
    }
    return 0;
}
