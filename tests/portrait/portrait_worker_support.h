#pragma once
// Fake portrait workers for tests: scripts written into a temporary folder
// that record how they were started and answer as each test needs.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "support/support.h"

namespace PortraitTestSupport {

// Sets (or, with nothing, unsets) an environment variable for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value) ::setenv(name_.c_str(), value->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ~ScopedVariable() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
        else ::unsetenv(name_.c_str());
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

inline void writeScript(const std::filesystem::path& path, const std::string& text, bool executable = true) {
    TestSupport::writeFile(path, text);
    ::chmod(path.c_str(), executable ? 0755 : 0644);
}

// The lines a worker appended to a log file (none when it never ran).
inline std::vector<std::string> logLines(const std::filesystem::path& log) {
    if (!std::filesystem::exists(log)) return {};
    return TestSupport::lines(TestSupport::readFile(log));
}

// The start of every Python fake worker: its arguments as `args`, `arg(name)`
// for the value after a flag, `here` its own folder, and one JSON line per
// run appended to here/log.jsonl with argv and the two added variables.
inline const char* pythonPrelude = R"(import sys, os, json, time
import numpy as np
import cv2
args = sys.argv[1:]
here = os.path.dirname(os.path.abspath(sys.argv[0]))
def arg(name):
    return args[args.index(name) + 1]
with open(os.path.join(here, 'log.jsonl'), 'a') as log:
    log.write(json.dumps({'argv': sys.argv, 'HF_HUB_OFFLINE': os.environ.get('HF_HUB_OFFLINE'),
                          'TORCH_HOME': os.environ.get('TORCH_HOME'), 'pid': os.getpid(),
                          'start': time.time()}) + '\n')
)";

}  // namespace PortraitTestSupport
