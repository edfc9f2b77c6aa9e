#include "support/support.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace TestSupport {

namespace fs = std::filesystem;

std::optional<fs::path> fixturesDir() {
    if (const char* env = std::getenv("MERROW_FIXTURES")) {
        if (fs::is_directory(env)) return fs::path(env);
    }
    fs::path candidate = fs::path(MERROW_SOURCE_DIR).parent_path() / "shared" / "fixtures";
    if (fs::is_directory(candidate)) return candidate;
    return std::nullopt;
}

fs::path fixture(const std::string& relative) {
    auto dir = fixturesDir();
    return dir ? *dir / relative : fs::path(relative);
}

fs::path gelatin() { return MERROW_GELATIN; }
fs::path lacquer() { return MERROW_LACQUER; }
fs::path ferry() { return MERROW_FERRY; }
fs::path sourceDir() { return MERROW_SOURCE_DIR; }

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() /
                             ("merrow-test-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    // Give back permissions a test may have taken away so that everything can go.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

ProcessResult run(const fs::path& program, const std::vector<std::string>& args, const std::string& input,
                  const std::vector<std::string>& env) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) || pipe2(outPipe, O_CLOEXEC) || pipe2(errPipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

    std::vector<std::string> argStore{program.string()};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    for (const auto& e : env) {
        auto name = e.substr(0, e.find('=') + 1);
        std::erase_if(envStore, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
        envStore.push_back(e);
    }
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    int rc = posix_spawn(&pid, argStore[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot start " + argStore[0]);
    }

    ProcessResult result;
    size_t written = 0;
    int inFd = inPipe[1];
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    bool outOpen = true, errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        std::vector<pollfd> fds;
        if (outOpen) fds.push_back({outPipe[0], POLLIN, 0});
        if (errOpen) fds.push_back({errPipe[0], POLLIN, 0});
        if (inFd >= 0) fds.push_back({inFd, POLLOUT, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (const auto& p : fds) {
            if (p.fd == inFd && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
                ssize_t n = write(inFd, input.data() + written, input.size() - written);
                if (n > 0) written += size_t(n);
                if (n < 0 && errno != EAGAIN) written = input.size();
                if (written >= input.size()) {
                    close(inFd);
                    inFd = -1;
                }
            } else if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t n = read(p.fd, buffer, sizeof buffer);
                if (n > 0) {
                    (p.fd == outPipe[0] ? result.out : result.err).append(buffer, size_t(n));
                } else {
                    (p.fd == outPipe[0] ? outOpen : errOpen) = false;
                }
            }
        }
    }
    if (inFd >= 0) close(inFd);
    close(outPipe[0]);
    close(errPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) result.push_back(line);
    return result;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

}  // namespace TestSupport
