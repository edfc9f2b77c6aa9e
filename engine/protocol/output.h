#pragma once
// The output channel shared by every thread of the process: records are
// encoded as compact JSON lines (keys in record order) and each line reaches
// its descriptor in one write under the channel's lock.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "engine/protocol/records.h"

namespace Protocol {

// What to do with text that is not valid UTF-8 (only possible for text read
// from files or the file system, never for text that came in a request).
enum class InvalidText {
    refuse,   // the record cannot be encoded (a file path must stay exact)
    replace,  // invalid bytes become U+FFFD (display text such as a camera name)
};

// The record as one compact JSON line with its line feed, or nothing when it
// cannot be encoded: a double that is NaN or infinite anywhere in it, or
// invalid text under InvalidText::refuse.
std::optional<std::string> encodeLine(const nlohmann::ordered_json& record, InvalidText text);

class Channel {
public:
    explicit Channel(int fd) : fd_(fd) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Encodes outside the lock, then writes the whole line under it. A record
    // that cannot be encoded is dropped without a trace; returns whether a
    // line was written.
    bool emit(const nlohmann::ordered_json& record, InvalidText text);

    // Writes text as it is, under the same lock.
    bool write(std::string_view text);

private:
    int fd_;
    std::mutex lock_;  // held only while one line is written
};

// The process's standard output (`out`, guarded by its own `outLock`).
Channel& out();

void emit(const Result& result);
void emit(const ListLine& line);
void emit(const Extraction::Survey& report);

// Writes all of `text` to the descriptor with as few writes as the system
// allows (one, short of interruptions); false when the descriptor refuses.
bool writeAll(int fd, std::string_view text);

// Keeps standard error for the engine's own messages: they go to a private copy
// of the descriptor, and descriptor 2 itself is pointed at /dev/null, so that the
// warnings libraries print on their own (the JPEG decoder inside LibRaw, HEVC
// decoders) never reach the caller. Call once, before any other thread starts.
void reserveStandardError();

// The descriptor the engine's own messages are written to: the copy made by
// reserveStandardError, or standard error itself before that.
int standardError();

// Writes message and a line feed to standard error in one write and ends the
// process at once with the exit status `code`.
[[noreturn]] void fail(std::string_view message, int code);

}  // namespace Protocol
