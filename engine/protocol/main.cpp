#include "engine/protocol/main.h"

#include <unistd.h>

#include <string_view>

namespace Protocol {

int main(int, char**) {
    constexpr std::string_view usage =
        "usage:\n  gelatin list  <folder> [--recursive]\n  gelatin scan  <folder>\n"
        "  gelatin probe <folder|file> [--limit N] [--max N]\n  gelatin serve\n";
    (void)!::write(2, usage.data(), usage.size());
    return 2;
}

}  // namespace Protocol
