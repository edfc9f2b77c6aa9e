#pragma once
// The finisher's standard input (request and continuation lines) and standard
// output (reply lines).

#include <cstddef>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace Finish {

class Channel {
public:
    Channel(int input, int output) : input_(input), output_(output) {}

    // Longest line kept; longer lines are cut to one byte more than this so
    // that callers can tell.
    static constexpr std::size_t maxLine = 1 << 20;

    // The next line without its line feed; nothing at the end of input (a
    // last line without a line feed still counts). Reads no further than the
    // line feed it needs.
    std::optional<std::string> readLine();

    // Writes one reply: sorted keys, "/" escaped, one line feed. Throws when
    // the reply cannot be serialised or written.
    void emit(const nlohmann::json& reply);

private:
    bool fill();
    int input_;
    int output_;
    std::string buffer_;
    bool ended_ = false;
};

}  // namespace Finish
