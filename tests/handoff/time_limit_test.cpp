#include "handoff/handoff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "support/support.h"

using namespace TestSupport;

namespace {

// An application whose desktop entry is a FIFO nobody writes to never
// finishes opening, so the time limit decides.
TEST(Handoff, OpeningThatNeverEndsFailsAtTheLimit) {
    TempDir dir;
    auto entry = dir / "stuck.desktop";
    auto photo = dir / "photo.jpg";
    writeFile(photo, "jpeg");
    ASSERT_EQ(::mkfifo(entry.c_str(), 0600), 0);
    std::string input = nlohmann::json{{"applicationPath", entry.string()}, {"paths", {photo.string()}}}.dump();

    auto started = std::chrono::steady_clock::now();
    auto outcome = Handoff::run({}, input, std::chrono::milliseconds(300));
    auto took = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "macOS did not finish opening the Lightroom photo request\n");
    EXPECT_GE(took, std::chrono::milliseconds(300));
    EXPECT_LT(took, std::chrono::seconds(5));

    // Let the abandoned worker finish: it reads an entry it cannot use.
    int fd = ::open(entry.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
        (void)!::write(fd, "x", 1);
        ::close(fd);
    }
}

}  // namespace
