#pragma once
// gelatin's command line: the one-shot commands and their argument helpers.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Protocol {

// The usage text (without a final line feed).
extern const char* const usage;

// The value after the first occurrence of the flag `name` in `args`, when it
// is a base-10 integer (one optional sign, digits only) that fits 64 bits.
std::optional<std::int64_t> flagInt(const std::vector<std::string>& args, const std::string& name);

// The first argument after the command word that does not begin with "--".
std::optional<std::string> pathArgument(const std::vector<std::string>& args);

// Calls work(i) for every i in [0, count) on up to `threads` threads and
// returns when all calls have finished.
void parallelFor(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work);

// The one-shot commands. They end the process with fail() when the listing is empty.
void runList(const std::string& path, bool recursive);
void runScan(const std::string& path);
void runProbe(const std::string& path, std::optional<std::int64_t> limit, std::int64_t maxPixel);

}  // namespace Protocol
