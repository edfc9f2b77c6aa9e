#include "engine/portrait/worker_process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace WorkerProcess {

namespace {

std::atomic<int> workerStandardError{STDERR_FILENO};
std::atomic<long long> limitMilliseconds{standardLimit.count()};

// How long a terminated worker gets to end before it is killed.
constexpr std::chrono::milliseconds terminationGrace{2000};

using Clock = std::chrono::steady_clock;

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

std::vector<std::string> environmentWith(const std::vector<std::pair<std::string, std::string>>& added) {
    std::vector<std::string> out;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        const std::string_view name = text.substr(0, equals);
        bool replaced = false;
        for (const auto& [addedName, value] : added) replaced = replaced || name == addedName;
        if (!replaced) out.emplace_back(text);
    }
    for (const auto& [name, value] : added) out.push_back(name + "=" + value);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& text : texts) out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

[[noreturn]] void throwSystem(int code, const char* what) { throw std::system_error(code, std::generic_category(), what); }

// Waits until `pid` has ended, without reaping it (so that its process
// group id stays reserved), until `deadline`; true when it has.
bool endedBy(pid_t pid, Clock::time_point deadline) {
    useconds_t pause = 100;  // a worker that closed its output usually ends at once
    for (;;) {
        siginfo_t info{};
        const int done = ::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (done == 0 && info.si_pid == pid) return true;
        if (done < 0 && errno != EINTR) return true;  // nothing left to wait for
        if (Clock::now() >= deadline) return false;
        ::usleep(pause);
        pause = std::min<useconds_t>(pause * 2, 5000);
    }
}

}  // namespace

void setStandardError(int fd) { workerStandardError = fd; }
int standardError() { return workerStandardError; }

std::chrono::milliseconds limit() { return std::chrono::milliseconds(limitMilliseconds.load()); }
void setLimitForTesting(std::chrono::milliseconds value) { limitMilliseconds = value.count(); }

Outcome run(const std::string& program, const std::vector<std::string>& arguments,
            const std::vector<std::pair<std::string, std::string>>& environment, std::chrono::milliseconds limit) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) throwSystem(errno, "Could not create the worker's output pipe");
    Descriptor readEnd(ends[0]);
    Descriptor writeEnd(ends[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    const int errorFd = standardError();
    if (errorFd != STDERR_FILENO && errorFd >= 0) posix_spawn_file_actions_adddup2(&actions, errorFd, STDERR_FILENO);
    // Nothing else the engine holds reaches the worker, not even descriptors
    // someone opened without close-on-exec (or inherited from our own parent).
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    // Its own process group (so that the limit also ends what it starts),
    // default signal handling and no blocked signals.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> argvTexts{program};
    argvTexts.insert(argvTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envTexts = environmentWith(environment);
    std::vector<char*> argv = pointers(argvTexts);
    std::vector<char*> envp = pointers(envTexts);

    pid_t pid = -1;
    const Clock::time_point launched = Clock::now();
    const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) throwSystem(spawned, "Could not start the portrait worker");
    writeEnd.reset();  // the child holds the only write end now

    const Clock::time_point deadline = launched + limit;
    Outcome outcome;
    char buffer[65536];
    bool open = true;
    while (open) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            outcome.timedOut = true;
            break;
        }
        pollfd watched{readEnd.get(), POLLIN, 0};
        const int ready = ::poll(&watched, 1, int(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got > 0) outcome.output.append(buffer, std::size_t(got));
        else if (got == 0 || errno != EINTR) open = false;
    }

    // Standard output is closed (or the limit passed): the worker ends now,
    // by itself or by termination, and is reaped here.
    if (outcome.timedOut || !endedBy(pid, deadline)) {
        outcome.timedOut = true;
        ::kill(-pid, SIGTERM);
        if (!endedBy(pid, Clock::now() + terminationGrace)) ::kill(-pid, SIGKILL);
        endedBy(pid, Clock::time_point::max());
        // The worker is a zombie now, so its group id is still its own: end
        // whatever it started that is still running.
        ::kill(-pid, SIGKILL);
    }
    int status = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (reaped == pid && !outcome.timedOut && WIFEXITED(status)) {
        outcome.exited = true;
        outcome.status = WEXITSTATUS(status);
    }
    return outcome;
}

}  // namespace WorkerProcess
