#include "engine/protocol/output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

namespace Protocol {

namespace {

using ordered_json = nlohmann::ordered_json;

bool allFinite(const ordered_json& value) {
    switch (value.type()) {
        case ordered_json::value_t::number_float:
            return std::isfinite(value.get<double>());
        case ordered_json::value_t::object:
        case ordered_json::value_t::array:
            for (const auto& element : value)
                if (!allFinite(element)) return false;
            return true;
        default:
            return true;
    }
}

}  // namespace

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(std::size_t(n));
    }
    return true;
}

std::optional<std::string> encodeLine(const ordered_json& record, InvalidText text) {
    // The JSON writer would print a non-finite double as null; such a record
    // does not say what it claims, so it is not written at all.
    if (!allFinite(record)) return std::nullopt;
    try {
        auto handler = text == InvalidText::replace ? ordered_json::error_handler_t::replace
                                                    : ordered_json::error_handler_t::strict;
        std::string line = record.dump(-1, ' ', false, handler);
        line.push_back('\n');
        return line;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool Channel::emit(const ordered_json& record, InvalidText text) {
    auto line = encodeLine(record, text);
    if (!line) return false;
    return write(*line);
}

bool Channel::write(std::string_view text) {
    std::lock_guard guard(lock_);
    return writeAll(fd_, text);
}

Channel& out() {
    static Channel channel(STDOUT_FILENO);
    return channel;
}

void emit(const Result& result) { out().emit(toJSON(result), InvalidText::replace); }

// A listed path that cannot be written exactly is no use to the caller.
void emit(const ListLine& line) { out().emit(toJSON(line), InvalidText::refuse); }

void emit(const Extraction::Survey& report) { out().emit(toJSON(report), InvalidText::replace); }

namespace {
int ownStandardError = STDERR_FILENO;
}

void reserveStandardError() {
    // Far above the descriptors a caller hands down (the delivery directory is 3).
    const int kept = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 100);
    if (kept < 0) return;  // no standard error to keep
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) {
        ::close(kept);
        return;
    }
    if (::dup2(null, STDERR_FILENO) < 0) {
        ::close(kept);
        ::close(null);
        return;
    }
    ::close(null);
    ownStandardError = kept;
}

int standardError() { return ownStandardError; }

void fail(std::string_view message, int code) {
    std::string line(message);
    line.push_back('\n');
    writeAll(standardError(), line);
    ::_exit(code);
}

}  // namespace Protocol
