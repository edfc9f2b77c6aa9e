#pragma once
// The black-and-white band mix of a look: how much each colour band lightens
// (positive) or darkens (negative) in the grey conversion.

#include <algorithm>
#include <array>
#include <optional>

namespace Monochrome {

struct Mix {
    std::optional<double> red;
    std::optional<double> orange;
    std::optional<double> yellow;
    std::optional<double> green;
    std::optional<double> aqua;
    std::optional<double> blue;
    std::optional<double> purple;
    std::optional<double> magenta;

    // The band values as the grey conversion reads them: clamped to −100…100,
    // divided by 100, absent = 0. `low` is red, orange, yellow, green; `high`
    // is aqua, blue, purple, magenta.
    std::array<double, 4> low() const { return scaled({red, orange, yellow, green}); }
    std::array<double, 4> high() const { return scaled({aqua, blue, purple, magenta}); }

    bool operator==(const Mix&) const = default;

private:
    static std::array<double, 4> scaled(const std::array<std::optional<double>, 4>& values) {
        std::array<double, 4> out{};
        for (std::size_t i = 0; i < 4; ++i) out[i] = std::clamp(values[i].value_or(0.0), -100.0, 100.0) / 100.0;
        return out;
    }
};

}  // namespace Monochrome
