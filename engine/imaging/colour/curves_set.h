#pragma once
// The point curves of a look: up to four lists of (input, output) points on 0…1.

#include <optional>
#include <vector>

namespace Curves {

// A list of points, each [x, y]; entries are kept as they came (the sampler tidies them).
using Points = std::vector<std::vector<double>>;

struct Set {
    std::optional<Points> master;
    std::optional<Points> red;
    std::optional<Points> green;
    std::optional<Points> blue;

    // True when no list holds two or more points, so no curve can be drawn.
    bool isEmpty() const {
        for (const auto* list : {&master, &red, &green, &blue})
            if (*list && (*list)->size() >= 2) return false;
        return true;
    }

    bool operator==(const Set&) const = default;
};

}  // namespace Curves
