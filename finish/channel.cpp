#include "finish/channel.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "finish/reply.h"

namespace Finish {

bool Channel::fill() {
    if (ended_) return false;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(input_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        buffer_.append(chunk, std::size_t(n));
        return true;
    }
}

std::optional<std::string> Channel::readLine() {
    std::string line;
    bool any = false;
    for (;;) {
        const std::size_t feed = buffer_.find('\n');
        const std::size_t take = feed == std::string::npos ? buffer_.size() : feed;
        if (line.size() <= maxLine) line.append(buffer_, 0, std::min(take, maxLine + 1 - line.size()));
        any = any || take > 0 || feed != std::string::npos;
        if (feed != std::string::npos) {
            buffer_.erase(0, feed + 1);
            return line;
        }
        buffer_.clear();
        if (!fill()) return any ? std::optional<std::string>(line) : std::nullopt;
    }
}

void Channel::emit(const nlohmann::json& reply) {
    const std::string text = jsonText(reply) + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(output_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::system_error(n < 0 ? errno : EIO, std::generic_category(), "Could not write the reply");
        written += std::size_t(n);
    }
}

}  // namespace Finish
