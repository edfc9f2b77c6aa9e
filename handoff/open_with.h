#pragma once
// Opening files with an application: the desktop's counterpart of "open these
// files with that application". The application is named by a path to
//   - an executable file,
//   - a folder (a bundle) holding exactly one executable file, or
//   - a desktop entry file (".desktop") whose Exec line is used.
// The program is started detached: in its own session, with standard input,
// output and error on /dev/null and no other inherited descriptors.

#include <stdexcept>
#include <string>
#include <vector>

namespace OpenWith {

// One program to start.
struct Command {
    std::string program;                 // the file to execute
    std::vector<std::string> arguments;  // its argument vector, the program's name first
    std::string workingDirectory;        // where it starts
};

// The application could not be started; what() is the system's description
// of `code` (an errno value).
struct Failure : std::runtime_error {
    explicit Failure(int code);
    int code;
};

// The commands that open `files` with the application at `applicationPath`:
// one, or one per file for a desktop entry that takes a single file. Throws
// Failure when the application cannot be found or read (ENOEXEC when it is
// not something that can be started).
std::vector<Command> commands(const std::string& applicationPath, const std::vector<std::string>& files);

// Starts one command detached and returns once it runs (its exec succeeded).
// Throws Failure with the reason when it could not be started.
void start(const Command& command);

// commands() and then start() for each, in order.
void open(const std::string& applicationPath, const std::vector<std::string>& files);

}  // namespace OpenWith
