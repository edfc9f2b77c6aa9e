#pragma once
// Exiv2's headers, included without the deprecation warnings of its 0.27 API
// (std::auto_ptr).

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <memory>

namespace Extraction {

// Takes ownership of what Exiv2's factory returns.
template <typename AutoPtr>
std::shared_ptr<Exiv2::Image> adoptExiv2(AutoPtr pointer) {
    return std::shared_ptr<Exiv2::Image>(pointer.release());
}

}  // namespace Extraction
