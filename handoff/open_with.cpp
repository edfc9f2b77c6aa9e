#include "handoff/open_with.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "handoff/desktop_entry.h"

extern char** environ;

namespace OpenWith {

namespace fs = std::filesystem;

Failure::Failure(int code) : std::runtime_error(std::generic_category().message(code)), code(code) {}

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool executableFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string readWhole(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw Failure(errno);
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            throw Failure(error);
        }
        if (n == 0) break;
        text.append(buffer, size_t(n));
    }
    ::close(fd);
    return text;
}

// A program named in an Exec line: a path as it is, a bare name looked up in
// the folders of PATH.
std::string lookUp(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    bool deniedSeen = false;
    size_t begin = 0;
    while (begin <= folders.size()) {
        size_t end = folders.find(':', begin);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(begin, end - begin);
        begin = end + 1;
        if (folder.empty()) continue;
        std::string candidate = folder + "/" + name;
        if (executableFile(candidate)) return candidate;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode)) deniedSeen = true;
    }
    throw Failure(deniedSeen ? EACCES : ENOENT);
}

std::vector<Command> desktopCommands(const std::string& entryPath, const std::vector<std::string>& files) {
    auto entry = DesktopEntry::parse(readWhole(entryPath));
    if (!entry) throw Failure(ENOEXEC);
    auto arguments = DesktopEntry::splitExec(entry->exec);
    if (!arguments) throw Failure(ENOEXEC);
    auto lines = DesktopEntry::commandLines(*arguments, files);
    if (!lines) throw Failure(ENOEXEC);
    std::vector<Command> commands;
    for (auto& line : *lines) {
        std::string program = lookUp(line.front());
        commands.push_back({program, std::move(line), entry->path.empty() ? "/" : entry->path});
    }
    return commands;
}

std::string bundleExecutable(const std::string& folder) {
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error) throw Failure(error.value());
    std::vector<std::string> found;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (executableFile(it->path().string())) found.push_back(it->path().string());
    }
    if (error) throw Failure(error.value());
    if (found.size() != 1) throw Failure(ENOEXEC);
    return found.front();
}

// Moves a descriptor above standard input, output and error so that putting
// /dev/null there in the child cannot overwrite it.
int aboveStandard(int fd) {
    if (fd > 2) return fd;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int error = errno;
    ::close(fd);
    if (moved < 0) throw Failure(error);
    return moved;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// Runs in the forked child: only async-signal-safe calls from here on.
[[noreturn]] void report(int pipe, int error) {
    (void)!::write(pipe, &error, sizeof error);
    ::_exit(127);
}

[[noreturn]] void becomeApplication(const char* program, char* const* argv, const char* directory, int nullFd,
                                    int reportFd, int highestFd) {
    if (::setsid() < 0) report(reportFd, errno);
    // Fork once more so that the program is no session leader and is never
    // this process's child.
    pid_t pid = ::fork();
    if (pid < 0) report(reportFd, errno);
    if (pid > 0) ::_exit(0);

    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    for (int target = 0; target <= 2; ++target) {
        if (::dup2(nullFd, target) < 0) report(reportFd, errno);
    }
    if (::chdir(directory) < 0) report(reportFd, errno);

    // Keep nothing but 0-2 and the close-on-exec report pipe.
    bool closed = (reportFd == 3 || ::close_range(3, unsigned(reportFd) - 1, 0) == 0) &&
                  ::close_range(unsigned(reportFd) + 1, ~0U, 0) == 0;
    if (!closed) {
        for (int fd = 3; fd <= highestFd; ++fd) {
            if (fd != reportFd) ::close(fd);
        }
    }
    ::execve(program, argv, environ);
    report(reportFd, errno);
}

}  // namespace

std::vector<Command> commands(const std::string& applicationPath, const std::vector<std::string>& files) {
    if (endsWith(applicationPath, ".desktop")) return desktopCommands(applicationPath, files);

    struct stat info {};
    if (::stat(applicationPath.c_str(), &info) < 0) throw Failure(errno);
    std::string program = S_ISDIR(info.st_mode) ? bundleExecutable(applicationPath) : applicationPath;
    std::vector<std::string> arguments{program};
    arguments.insert(arguments.end(), files.begin(), files.end());
    return {Command{program, std::move(arguments), "/"}};
}

void start(const Command& command) {
    // Everything the child needs is prepared here: after fork it may only
    // make async-signal-safe calls.
    std::vector<char*> argv;
    for (const auto& argument : command.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) < 0) throw Failure(errno);
    Descriptor readEnd(aboveStandard(ends[0]));
    Descriptor writeEnd(aboveStandard(ends[1]));
    int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nullFd < 0) throw Failure(errno);
    Descriptor devNull(aboveStandard(nullFd));

    struct rlimit limit {};
    int highestFd = 65535;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 1048576)
        highestFd = int(limit.rlim_cur) - 1;

    pid_t child = ::fork();
    if (child < 0) throw Failure(errno);
    if (child == 0)
        becomeApplication(command.program.c_str(), argv.data(), command.workingDirectory.c_str(), devNull.get(),
                          writeEnd.get(), highestFd);

    writeEnd.reset();
    devNull.reset();
    // The pipe ends without a word when the program's exec succeeded; a failed
    // step sends its errno first.
    int error = 0;
    size_t received = 0;
    while (received < sizeof error) {
        ssize_t n = ::read(readEnd.get(), reinterpret_cast<char*>(&error) + received, sizeof error - received);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        received += size_t(n);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (received == sizeof error) throw Failure(error);
    if (received != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw Failure(ECHILD);
}

void open(const std::string& applicationPath, const std::vector<std::string>& files) {
    for (const auto& command : commands(applicationPath, files)) start(command);
}

}  // namespace OpenWith
