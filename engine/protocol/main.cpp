#include "engine/protocol/main.h"

#include <algorithm>
#include <string>
#include <vector>

#include "engine/protocol/commands.h"
#include "engine/protocol/output.h"
#include "engine/protocol/serve.h"
#include "engine/portrait/worker_process.h"

namespace Protocol {

int main(int argc, char** argv) {
    out();  // the output channel exists before any command runs
    reserveStandardError();
    WorkerProcess::setStandardError(standardError());  // portrait workers write to the real standard error
    std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    if (args.empty()) fail(usage, 2);
    const std::string& command = args[0];

    if (command == "portrait-capabilities") {
        out().write("{\"nativePortrait\":false}\n");
        return 0;
    }
    if (command == "serve") {
        runServe();
        return 0;
    }
    if (command == "list") {
        auto path = pathArgument(args);
        if (!path) fail("missing folder", 2);
        runList(*path, std::find(args.begin(), args.end(), "--recursive") != args.end());
        return 0;
    }
    if (command == "scan") {
        auto path = pathArgument(args);
        if (!path) fail("missing folder", 2);
        runScan(*path);
        return 0;
    }
    if (command == "probe") {
        auto path = pathArgument(args);
        if (!path) fail("missing path", 2);
        runProbe(*path, flagInt(args, "--limit"), flagInt(args, "--max").value_or(8192));
        return 0;
    }
    fail(usage, 2);
}

}  // namespace Protocol
