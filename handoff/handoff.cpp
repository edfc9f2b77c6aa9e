#include "handoff/handoff.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "handoff/open_with.h"

namespace Handoff {

namespace {

// Shared between the waiting thread and the worker, which may outlive the wait.
struct Opening {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::optional<std::string> error;
};

// The worker: opens the photos and reports how it went.
void openPhotos(const std::shared_ptr<Opening>& opening, const Request& request) {
    std::optional<std::string> error;
    try {
        OpenWith::open(request.applicationPath, request.paths);
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    std::lock_guard hold(opening->lock);
    opening->done = true;
    opening->error = std::move(error);
    opening->ended.notify_all();
}

}  // namespace

void openWithin(const Request& request, std::chrono::milliseconds limit) {
    auto opening = std::make_shared<Opening>();
    try {
        std::thread(openPhotos, opening, request).detach();
    } catch (const std::system_error& error) {
        throw Failure("Could not open Lightroom Import: " + error.code().message());
    }

    std::unique_lock hold(opening->lock);
    if (!opening->ended.wait_for(hold, limit, [&] { return opening->done; }))
        throw Failure("macOS did not finish opening the Lightroom photo request");
    if (opening->error) throw Failure("Could not open Lightroom Import: " + *opening->error);
}

Outcome run(const std::vector<std::string>& arguments, std::string_view input, std::chrono::milliseconds limit) {
    try {
        Request request = decodeRequest(input);
        checkRequest(request);
        if (std::find(arguments.begin(), arguments.end(), "--validate") != arguments.end())
            return Outcome{0, encodePaths(request.paths), ""};
        checkReadable(request);
        openWithin(request, limit);
        return Outcome{};
    } catch (const Failure& failure) {
        return Outcome{1, "", std::string(failure.what()) + "\n"};
    }
}

}  // namespace Handoff
