#pragma once
// The eight-band colour mix settings of a look (hue, saturation, luminance per band).

#include <optional>

namespace ColorMix {

struct Band {
    std::optional<double> hue;         // −100…100
    std::optional<double> saturation;  // −100…100
    std::optional<double> luminance;   // −100…100

    // True when no slider of the band is present and non-zero.
    bool isEmpty() const {
        for (const auto* v : {&hue, &saturation, &luminance})
            if (*v && **v != 0) return false;
        return true;
    }

    bool operator==(const Band&) const = default;
};

struct Bands {
    std::optional<Band> red;
    std::optional<Band> orange;
    std::optional<Band> yellow;
    std::optional<Band> green;
    std::optional<Band> aqua;
    std::optional<Band> blue;
    std::optional<Band> purple;
    std::optional<Band> magenta;

    // True when every band is absent or empty.
    bool isEmpty() const {
        for (const auto* band : {&red, &orange, &yellow, &green, &aqua, &blue, &purple, &magenta})
            if (*band && !(*band)->isEmpty()) return false;
        return true;
    }

    bool operator==(const Bands&) const = default;
};

}  // namespace ColorMix
