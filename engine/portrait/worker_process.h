#pragma once
// Runs one external portrait worker: a child process started with an exact
// argument list and the engine's environment plus a few variables, its
// standard output collected through a pipe, its standard error going to the
// engine's own standard error, and a time limit from launch after which the
// worker (with anything it started in its process group) is terminated.
//
// The child is always reaped before `run` returns. It gets descriptors 0, 1
// and 2 and nothing else; the pipe is close-on-exec, so it does not leak into
// other children started at the same time either.

#include <chrono>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace WorkerProcess {

// The limit every portrait worker gets.
inline constexpr std::chrono::milliseconds standardLimit{90'000};

struct Outcome {
    bool exited = false;      // ended by itself with an exit status
    int status = -1;          // its exit status when `exited`
    bool timedOut = false;    // terminated because the limit passed
    std::string output;       // everything it wrote to standard output
};

// Starts `program` with `arguments` (argv[1] onwards; argv[0] is the program's
// path) and the engine's environment in which each of `environment`'s
// (name, value) pairs replaces or adds a variable. Standard input is
// /dev/null. Waits for the child to end, or terminates it once `limit` has
// passed since launch (SIGTERM to its process group, SIGKILL a moment later
// if it is still there). Throws std::system_error when the process cannot be
// started (its text is the system's own).
Outcome run(const std::string& program, const std::vector<std::string>& arguments,
            const std::vector<std::pair<std::string, std::string>>& environment,
            std::chrono::milliseconds limit = standardLimit);

// The descriptor that workers get as their standard error: the engine's own
// standard error. gelatin points descriptor 2 at /dev/null and keeps its real
// standard error elsewhere; it names that descriptor here once at start-up.
void setStandardError(int fd);
int standardError();

// The limit `run` uses when the caller passes none of its own: standardLimit
// unless a test has set a shorter one. (The portrait components call run
// with this.)
std::chrono::milliseconds limit();
void setLimitForTesting(std::chrono::milliseconds limit);

}  // namespace WorkerProcess
