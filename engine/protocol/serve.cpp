#include "engine/protocol/serve.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/protocol/handler.h"
#include "engine/protocol/output.h"

namespace Protocol {

int concurrencyLimit(unsigned cores) { return int(std::max(2u, cores)); }

unsigned activeProcessorCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return unsigned(count);
    }
    return std::thread::hardware_concurrency();
}

namespace {

// Runs one request; whatever the callbacks throw stays inside the loop.
void answer(const Handler& handler, const Emitter& emit, const Request& request) {
    try {
        emit(handler(request));
    } catch (...) {
    }
}

// Normal requests waiting for a slot, and whether input has ended.
class Pending {
public:
    void push(Request request) {
        {
            std::lock_guard guard(lock_);
            queue_.push_back(std::move(request));
        }
        wake_.notify_one();
    }

    void end() {
        {
            std::lock_guard guard(lock_);
            ended_ = true;
        }
        wake_.notify_all();
    }

    // The oldest pending request; nothing once input has ended and the queue is empty.
    std::optional<Request> next() {
        std::unique_lock guard(lock_);
        wake_.wait(guard, [&] { return !queue_.empty() || ended_; });
        if (queue_.empty()) return std::nullopt;
        Request request = std::move(queue_.front());
        queue_.pop_front();
        return request;
    }

private:
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Request> queue_;
    bool ended_ = false;
};

// Threads of urgent requests. Only the reader thread starts and reaps them;
// the last ones are joined after input has ended.
class UrgentThreads {
public:
    bool start(std::function<void()> work) {
        reapFinished();
        auto done = std::make_shared<std::atomic<bool>>(false);
        try {
            std::thread thread([work = std::move(work), done] {
                work();
                done->store(true, std::memory_order_release);
            });
            threads_.push_back({std::move(thread), std::move(done)});
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    void joinAll() {
        for (auto& running : threads_) running.thread.join();
        threads_.clear();
    }

private:
    struct Running {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void reapFinished() {
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (it->done->load(std::memory_order_acquire)) {
                it->thread.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::list<Running> threads_;
};

}  // namespace

void serve(std::istream& input, const Handler& handler, const Emitter& emit, int slots) {
    Pending pending;
    UrgentThreads urgent;

    std::thread reader([&] {
        std::string line;
        while (std::getline(input, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            auto request = decodeRequest(line);
            if (!request) continue;
            if (request->urgent) {
                auto started = urgent.start([&handler, &emit, request = *request] { answer(handler, emit, request); });
                if (started) continue;
                // No thread to be had: the request waits for a normal slot instead.
            }
            pending.push(std::move(*request));
        }
        pending.end();
    });

    std::vector<std::thread> workers;
    workers.reserve(std::size_t(std::max(1, slots)));
    for (int i = 0; i < std::max(1, slots); ++i) {
        workers.emplace_back([&] {
            while (auto request = pending.next()) answer(handler, emit, *request);
        });
    }

    reader.join();
    for (auto& worker : workers) worker.join();
    urgent.joinAll();
}

void runServe() {
    std::ios::sync_with_stdio(false);
    serve(
        std::cin, [](const Request& request) { return handle(request); },
        [](const Result& result) { emit(result); }, concurrencyLimit(activeProcessorCount()));
}

}  // namespace Protocol
