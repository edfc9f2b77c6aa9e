#include "handoff/main.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "handoff/handoff.h"

namespace Handoff {

namespace {

// Writes all bytes; returns 0 or the errno of the failed write.
int writeAll(int fd, const std::string& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        written += size_t(n);
    }
    return 0;
}

// Ends the process at once: a worker that lost the race to the time limit
// may still be running and must not hold up the exit.
[[noreturn]] void finish(const Outcome& outcome) {
    if (int error = outcome.out.empty() ? 0 : writeAll(1, outcome.out)) {
        std::string message = "Could not write Lightroom photo paths: " + std::generic_category().message(error) + "\n";
        (void)!::write(2, message.data(), message.size());
        ::_exit(1);
    }
    if (!outcome.err.empty()) (void)!::write(2, outcome.err.data(), outcome.err.size());
    ::_exit(outcome.status);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard output is reported as a failure, not a silent death.
    ::signal(SIGPIPE, SIG_IGN);

    std::string input;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            finish(Outcome{1, "", "Could not read Lightroom photo paths: " + std::generic_category().message(errno) + "\n"});
        }
        if (n == 0) break;
        input.append(buffer, size_t(n));
    }
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    finish(run(arguments, input));
}

}  // namespace Handoff
