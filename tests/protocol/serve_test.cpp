// The serve loop: scheduling through its own interface, and the real program.
#include <ext/stdio_filebuf.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "engine/protocol/serve.h"
#include "support/support.h"

using namespace Protocol;
using namespace std::chrono_literals;

namespace {

// A handler that records when each request starts and holds it until the
// test releases its id.
class Gate {
public:
    Result handle(const Request& request) {
        std::unique_lock guard(lock_);
        started_.push_back(request.id);
        changed_.notify_all();
        changed_.wait(guard, [&] { return released_.count(request.id) > 0; });
        Result result;
        result.id = request.id;
        result.gen = request.gen;
        result.ok = true;
        return result;
    }

    void emit(const Result& result) {
        std::lock_guard guard(lock_);
        emitted_.push_back(result.id);
        changed_.notify_all();
    }

    void release(std::int64_t id) {
        std::lock_guard guard(lock_);
        released_.insert(id);
        changed_.notify_all();
    }

    // Waits (a generous while, for a loaded machine) until `id` has started.
    bool waitStarted(std::int64_t id) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, 20s, [&] { return hasStarted(id); });
    }

    bool waitEmitted(std::size_t count) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, 20s, [&] { return emitted_.size() >= count; });
    }

    bool started(std::int64_t id) {
        std::lock_guard guard(lock_);
        return hasStarted(id);
    }

    std::vector<std::int64_t> startOrder() {
        std::lock_guard guard(lock_);
        return started_;
    }

    std::vector<std::int64_t> emitted() {
        std::lock_guard guard(lock_);
        return emitted_;
    }

private:
    bool hasStarted(std::int64_t id) const { return std::find(started_.begin(), started_.end(), id) != started_.end(); }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::int64_t> started_;
    std::vector<std::int64_t> emitted_;
    std::set<std::int64_t> released_;
};

// Request lines written into a pipe that serve() reads as its input.
class Feed {
public:
    Feed() {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        readEnd_ = fds[0];
        writeEnd_ = fds[1];
        buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(readEnd_, std::ios::in);
        stream_ = std::make_unique<std::istream>(buffer_.get());
    }
    ~Feed() { close(); }

    void send(const std::string& text) { (void)!::write(writeEnd_, text.data(), text.size()); }
    void close() {
        if (writeEnd_ >= 0) ::close(writeEnd_);
        writeEnd_ = -1;
    }
    std::istream& stream() { return *stream_; }

private:
    int readEnd_ = -1;
    int writeEnd_ = -1;
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer_;
    std::unique_ptr<std::istream> stream_;
};

std::string request(int id, bool urgent = false) {
    return "{\"id\":" + std::to_string(id) + ",\"src\":\"/x\"" + (urgent ? ",\"urgent\":true" : "") + "}\n";
}

TEST(Serve, RunsNormalRequestsInArrivalOrderWithinTheLimitAndUrgentOnesAtOnce) {
    Gate gate;
    Feed feed;
    std::thread loop([&] {
        serve(feed.stream(), [&](const Request& r) { return gate.handle(r); }, [&](const Result& r) { gate.emit(r); }, 2);
    });

    for (int id = 1; id <= 5; ++id) feed.send(request(id));
    ASSERT_TRUE(gate.waitStarted(1));
    ASSERT_TRUE(gate.waitStarted(2));

    // Both slots are busy: an urgent request still starts at once, the third normal one does not.
    feed.send(request(9, true));
    ASSERT_TRUE(gate.waitStarted(9));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(gate.started(3));
    gate.release(9);
    ASSERT_TRUE(gate.waitEmitted(1));
    EXPECT_EQ(gate.emitted().front(), 9) << "the urgent result is written before the busy ones";
    EXPECT_FALSE(gate.started(3));

    // Each finished request lets exactly one more start, oldest first. Input
    // ends while requests are still waiting; they are answered all the same.
    gate.release(2);
    ASSERT_TRUE(gate.waitStarted(3));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(gate.started(4));
    feed.close();
    gate.release(1);
    ASSERT_TRUE(gate.waitStarted(4));
    gate.release(3);
    ASSERT_TRUE(gate.waitStarted(5));
    gate.release(4);
    gate.release(5);
    loop.join();

    auto order = gate.startOrder();
    std::erase(order, 9);
    EXPECT_EQ(order, (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
    auto emitted = gate.emitted();
    std::sort(emitted.begin(), emitted.end());
    EXPECT_EQ(emitted, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 9}));
}

TEST(Serve, AnswersEveryDecodedLineAndDropsTheRest) {
    std::istringstream input(
        "{\"id\":1,\"src\":\"/a\",\"gen\":7}\r\n"
        "\n"
        "not json\n"
        "{\"id\":2}\n"
        "   \n"
        "{\"id\":1,\"src\":\"/b\"}\n"
        "\r\n"
        "{\"id\":3,\"src\":\"/c\",\"urgent\":true}\n"
        "{\"id\":4,\"src\":\"/d\"}");  // the last line may lack its line feed
    std::mutex lock;
    std::vector<Result> results;
    serve(
        input,
        [](const Request& r) {
            Result result;
            result.id = r.id;
            result.gen = r.gen;
            result.file = r.src;
            return result;
        },
        [&](const Result& r) {
            std::lock_guard guard(lock);
            results.push_back(r);
        },
        2);
    std::multiset<std::pair<std::int64_t, std::string>> answered;
    for (const auto& r : results) answered.insert({r.id, *r.file});
    EXPECT_EQ(answered, (std::multiset<std::pair<std::int64_t, std::string>>{{1, "/a"}, {1, "/b"}, {3, "/c"}, {4, "/d"}}));
    for (const auto& r : results) {
        if (*r.file == "/a") {
            EXPECT_EQ(r.gen, 7);
        }
    }
}

TEST(Serve, ConcurrencyLimitIsAtLeastTwo) {
    EXPECT_EQ(concurrencyLimit(0), 2);
    EXPECT_EQ(concurrencyLimit(1), 2);
    EXPECT_EQ(concurrencyLimit(2), 2);
    EXPECT_EQ(concurrencyLimit(16), 16);
}

TEST(ServeProgram, AnswersEveryRequestWithItsIdAndGeneration) {
    TestSupport::TempDir dir;
    std::string missing = (dir / "missing.dng").string();
    std::string input;
    for (int id = 0; id < 6; ++id)
        input += "{\"id\":" + std::to_string(id) + ",\"src\":\"" + missing + "\",\"gen\":" + std::to_string(100 + id) +
                 (id % 2 ? ",\"urgent\":true" : "") + "}\r\n";
    input += "\n{\"id\":99}\n{broken\n[]\n";
    input += "{\"id\":6,\"src\":\"" + missing + "\",\"develop\":true,\"out\":\"" + (dir / "o.jpg").string() + "\"}\n";

    auto result = TestSupport::run(TestSupport::gelatin(), {"serve"}, input);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    auto lines = TestSupport::lines(result.out);
    ASSERT_EQ(lines.size(), 7u) << result.out;
    std::set<std::int64_t> ids;
    for (const auto& line : lines) {
        auto record = nlohmann::ordered_json::parse(line);
        auto id = record["id"].get<std::int64_t>();
        ids.insert(id);
        EXPECT_EQ(record["ok"], false);
        EXPECT_EQ(record["file"], "missing.dng");
        EXPECT_EQ(record["error"], "unreadable");
        EXPECT_TRUE(record["ms"].is_number());
        if (id < 6) {
            EXPECT_EQ(record["gen"], 100 + id);
        } else {
            EXPECT_FALSE(record.contains("gen"));
        }
        EXPECT_EQ(record.size(), id < 6 ? 6u : 5u) << line;
    }
    EXPECT_EQ(ids, (std::set<std::int64_t>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(std::filesystem::exists(dir / "o.jpg"));
}

TEST(ServeProgram, EndsAtOnceOnEmptyInput) {
    auto result = TestSupport::run(TestSupport::gelatin(), {"serve", "ignored"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

}  // namespace
