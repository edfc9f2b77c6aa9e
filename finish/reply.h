#pragma once
// JSON for the finisher's replies: sorted keys at every level, no indentation,
// "/" written as "\/".

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "finish/delivery_jpeg.h"
#include "finish/records.h"

namespace Finish {

// Whether `text` is well-formed UTF-8.
bool validUTF8(std::string_view text);

// The compact text of `value` with "/" escaped; throws nlohmann::json's
// type_error for text that is not UTF-8.
std::string jsonText(const nlohmann::json& value);

// An encodable record as a JSON object for embedding in a reply.
nlohmann::json object(const FileIdentity& identity);
nlohmann::json object(const FileSnapshot& snapshot);
nlohmann::json object(const DeliveryJPEG& jpeg);

}  // namespace Finish
