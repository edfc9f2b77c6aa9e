#include "engine/protocol/commands.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine/library/extraction.h"
#include "engine/protocol/handler.h"
#include "engine/protocol/output.h"
#include "engine/protocol/serve.h"

namespace Protocol {

const char* const usage =
    "usage:\n"
    "  gelatin list  <folder> [--recursive]\n"
    "  gelatin scan  <folder>\n"
    "  gelatin probe <folder|file> [--limit N] [--max N]\n"
    "  gelatin serve";

std::optional<std::int64_t> flagInt(const std::vector<std::string>& args, const std::string& name) {
    auto flag = std::find(args.begin(), args.end(), name);
    if (flag == args.end() || std::next(flag) == args.end()) return std::nullopt;
    std::string_view text = *std::next(flag);
    std::string_view digits = text;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    // from_chars reads a "-" itself but not a "+".
    std::string_view number = text[0] == '-' ? text : digits;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value, 10);
    if (error != std::errc() || end != number.data() + number.size()) return std::nullopt;
    return value;
}

std::optional<std::string> pathArgument(const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i)
        if (args[i].rfind("--", 0) != 0) return args[i];
    return std::nullopt;
}

void parallelFor(std::size_t count, unsigned threads, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next{0};
    auto drain = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
    };
    std::vector<std::thread> pool;
    std::size_t helpers = std::min<std::size_t>(std::max(1u, threads), count);
    for (std::size_t t = 1; t < helpers; ++t) pool.emplace_back(drain);
    drain();
    for (auto& thread : pool) thread.join();
}

void runList(const std::string& path, bool recursive) {
    auto entries = Extraction::listFolder(path, recursive);
    if (entries.empty()) fail("no supported files at " + path, 1);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& entry = entries[i];
        emit(ListLine{std::int64_t(i), entry.url.string(), entry.rel, entry.url.filename().string()});
    }
}

void runScan(const std::string& path) { emit(Extraction::survey(path)); }

void runProbe(const std::string& path, std::optional<std::int64_t> limit, std::int64_t maxPixel) {
    auto entries = Extraction::listFolder(path, false);
    if (entries.empty()) fail("no supported files at " + path, 1);
    // A negative limit cannot name a prefix and counts as no limit.
    if (limit && *limit >= 0 && std::uint64_t(*limit) < entries.size()) entries.resize(std::size_t(*limit));

    auto start = std::chrono::steady_clock::now();
    parallelFor(entries.size(), unsigned(concurrencyLimit(activeProcessorCount())), [&](std::size_t i) {
        Request request;
        request.id = std::int64_t(i);
        request.src = entries[i].url.string();
        request.max = maxPixel;
        request.fp = true;
        emit(handle(request));
    });
    double wallMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    // With nothing probed there is no per-file time to speak of: it shows 0.
    double perFileMs = entries.empty() ? 0.0 : wallMs / double(entries.size());

    char summary[160];
    int length = std::snprintf(summary, sizeof summary, "{\"summary\":true,\"files\":%zu,\"wallMs\":%.1f,\"perFileMs\":%.2f}\n",
                               entries.size(), wallMs, perFileMs);
    if (length > 0) writeAll(standardError(), {summary, std::min<std::size_t>(std::size_t(length), sizeof summary - 1)});
}

}  // namespace Protocol
