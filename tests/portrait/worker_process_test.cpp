// The runner of external portrait workers and the PNG files they exchange.

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "engine/imaging/png_file.h"
#include "engine/portrait/worker_process.h"
#include "portrait/portrait_worker_support.h"
#include "support/support.h"

namespace {

using namespace std::chrono_literals;
using PortraitTestSupport::writeScript;

TEST(WorkerProcess, PassesTheExactArgumentsAndTheAddedVariablesAndCollectsAllOutput) {
    TestSupport::TempDir dir;
    // More output than a pipe holds, so the runner must read while the worker writes.
    writeScript(dir / "worker.sh", R"(#!/bin/sh
for a in "$@"; do printf '[%s]\n' "$a"; done
printf 'HF=%s TORCH=%s KEPT=%s\n' "$HF_HUB_OFFLINE" "$TORCH_HOME" "$MERROW_TEST_KEPT"
head -c 200000 /dev/zero | tr '\0' 'x'
exit 0
)");
    PortraitTestSupport::ScopedVariable kept("MERROW_TEST_KEPT", "yes");
    PortraitTestSupport::ScopedVariable replaced("HF_HUB_OFFLINE", "0");
    const auto outcome = WorkerProcess::run((dir / "worker.sh").string(), {"a b", "", "--bounds", "412.0"},
                                            {{"HF_HUB_OFFLINE", "1"}, {"TORCH_HOME", "/cache/torch"}}, 10s);
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.status, 0);
    EXPECT_FALSE(outcome.timedOut);
    const std::string expected = "[a b]\n[]\n[--bounds]\n[412.0]\nHF=1 TORCH=/cache/torch KEPT=yes\n";
    ASSERT_EQ(outcome.output.size(), expected.size() + 200000);
    EXPECT_EQ(outcome.output.substr(0, expected.size()), expected);
}

TEST(WorkerProcess, ReportsTheExitStatusAndSignals) {
    TestSupport::TempDir dir;
    struct Case {
        const char* script;
        bool exited;
        int status;
    };
    const Case cases[] = {
        {"#!/bin/sh\necho partial\nexit 3\n", true, 3},
        {"#!/bin/sh\nexit 0\n", true, 0},
        {"#!/bin/sh\nkill -KILL $$\n", false, -1},
    };
    for (const Case& c : cases) {
        writeScript(dir / "worker.sh", c.script);
        const auto outcome = WorkerProcess::run((dir / "worker.sh").string(), {}, {}, 10s);
        EXPECT_EQ(outcome.exited, c.exited) << c.script;
        if (c.exited) {
            EXPECT_EQ(outcome.status, c.status) << c.script;
        }
        EXPECT_FALSE(outcome.timedOut) << c.script;
    }
}

TEST(WorkerProcess, TerminatesAWorkerThatOutlivesTheLimitWithWhatItStartedAndReapsIt) {
    TestSupport::TempDir dir;
    // The worker starts a child that keeps standard output open, then hangs
    // (ignoring the polite termination request).
    writeScript(dir / "worker.sh", R"(#!/bin/sh
trap '' TERM
sleep 300 &
echo $! > ")" + (dir / "child.pid").string() + R"("
echo $$ > ")" + (dir / "worker.pid").string() + R"("
echo started
while :; do sleep 1; done
)");
    const auto started = std::chrono::steady_clock::now();
    const auto outcome = WorkerProcess::run((dir / "worker.sh").string(), {}, {}, 400ms);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(outcome.timedOut);
    EXPECT_FALSE(outcome.exited);
    EXPECT_EQ(outcome.output, "started\n");
    EXPECT_LT(took, 30s);  // a generous bound: the limit plus the grace before the kill
    const pid_t worker = std::stoi(TestSupport::readFile(dir / "worker.pid"));
    const pid_t child = std::stoi(TestSupport::readFile(dir / "child.pid"));
    // Reaped (no zombie is left under this process) and gone.
    EXPECT_EQ(::waitpid(worker, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_NE(::kill(worker, 0), 0);
    // The child it started is ended too (it may take a moment to be reaped by init).
    for (int i = 0; i < 200 && ::kill(child, 0) == 0; ++i) {
        const std::string state = TestSupport::readFile("/proc/" + std::to_string(child) + "/stat");
        if (state.find(") Z") != std::string::npos) break;
        std::this_thread::sleep_for(10ms);
    }
    const bool running = ::kill(child, 0) == 0 &&
                         TestSupport::readFile("/proc/" + std::to_string(child) + "/stat").find(") Z") == std::string::npos;
    EXPECT_FALSE(running);
}

TEST(WorkerProcess, NoDescriptorOfTheEngineOrOfAnotherWorkerReachesAWorker) {
    TestSupport::TempDir dir;
    // Lists the worker's open descriptors other than 0, 1 and 2 (the listing's own excepted).
    writeScript(dir / "list.py", R"(import os
fds = [int(f) for f in os.listdir('/proc/self/fd')]
for fd in fds:
    try:
        target = os.readlink('/proc/self/fd/%d' % fd)
    except OSError:
        continue
    if fd > 2 and not target.startswith('/proc'):
        print(fd, target)
print('stdout', os.readlink('/proc/self/fd/1').startswith('pipe:'))
print('stdin', os.readlink('/proc/self/fd/0'))
)", false);
    writeScript(dir / "slow.sh", "#!/bin/sh\nsleep 2\necho slow\n");
    // Another worker runs meanwhile, holding its own pipe.
    auto other = std::async(std::launch::async, [&] { return WorkerProcess::run((dir / "slow.sh").string(), {}, {}, 20s); });
    std::this_thread::sleep_for(300ms);
    const auto outcome = WorkerProcess::run("/usr/bin/python3", {(dir / "list.py").string()}, {}, 20s);
    ASSERT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.output, "stdout True\nstdin /dev/null\n");
    EXPECT_EQ(other.get().output, "slow\n");
}

TEST(WorkerProcess, GivesWorkersTheStandardErrorItIsTold) {
    TestSupport::TempDir dir;
    writeScript(dir / "worker.sh", "#!/bin/sh\necho to-stderr >&2\n");
    const int log = ::open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(log, 0);
    WorkerProcess::setStandardError(log);
    const auto outcome = WorkerProcess::run((dir / "worker.sh").string(), {}, {}, 10s);
    WorkerProcess::setStandardError(STDERR_FILENO);
    ::close(log);
    EXPECT_TRUE(outcome.exited);
    EXPECT_EQ(outcome.output, "");
    EXPECT_EQ(TestSupport::readFile(dir / "stderr.txt"), "to-stderr\n");
}

TEST(WorkerProcess, ALaunchFailureIsTheSystemsError) {
    try {
        WorkerProcess::run("/nonexistent/python", {}, {}, 1s);
        FAIL() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
}

TEST(PNGFile, WritesTaggedSRGBAndReadsStoredValuesBack) {
    TestSupport::TempDir dir;
    Imaging::Bitmap bitmap(3, 2, 4);
    for (std::size_t i = 0; i < bitmap.pixels.size(); ++i) bitmap.pixels[i] = std::uint8_t(i * 10);
    ASSERT_EQ(PNGFile::writeRGBA8(dir / "a.png", bitmap), PNGFile::WriteResult::written);
    EXPECT_NE(TestSupport::readFile(dir / "a.png").find("sRGB"), std::string::npos);
    const auto image = PNGFile::read(dir / "a.png");
    ASSERT_TRUE(image);
    ASSERT_EQ(image->extent(), (Imaging::Rect{0, 0, 3, 2}));
    const Imaging::Pixel p = image->at(2, 1);  // the last pixel
    EXPECT_FLOAT_EQ(p.r, 200 / 255.0f);
    EXPECT_FLOAT_EQ(p.a, 230 / 255.0f);

    EXPECT_EQ(PNGFile::writeRGBA8(dir / "missing" / "a.png", bitmap), PNGFile::WriteResult::notCreated);
    EXPECT_FALSE(PNGFile::read(dir / "missing.png"));
    TestSupport::writeFile(dir / "text.png", "not a picture");
    EXPECT_FALSE(PNGFile::read(dir / "text.png"));
}

TEST(PNGFile, ReadsGreyAndSixteenBitFilesAsTheyAreStored) {
    TestSupport::TempDir dir;
    // A 16-bit grey file with a gamma chunk would be changed by a colour-managed reader.
    const std::string script = R"(import cv2, numpy as np, sys
cv2.imwrite(sys.argv[1], np.array([[0, 65535, 32768]], dtype=np.uint16))
cv2.imwrite(sys.argv[2], np.array([[0, 255, 64]], dtype=np.uint8))
)";
    writeScript(dir / "make.py", script, false);
    const auto made = TestSupport::run("/usr/bin/python3", {(dir / "make.py").string(), (dir / "g16.png").string(),
                                                            (dir / "g8.png").string()});
    ASSERT_EQ(made.status, 0) << made.err;
    const auto g16 = PNGFile::read(dir / "g16.png");
    const auto g8 = PNGFile::read(dir / "g8.png");
    ASSERT_TRUE(g16 && g8);
    EXPECT_FLOAT_EQ(g16->at(2, 0).r, 32768 / 65535.0f);
    EXPECT_FLOAT_EQ(g16->at(2, 0).b, 32768 / 65535.0f);
    EXPECT_FLOAT_EQ(g16->at(2, 0).a, 1.0f);
    EXPECT_NEAR(g8->at(2, 0).g * 255.0f, 64.0f, 1e-4);
    // At 8 bits: 16-bit samples rounded, grey in every colour, opaque.
    const auto bytes = PNGFile::readRGBA8(dir / "g16.png");
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->channels, 4);
    EXPECT_EQ(std::vector<int>(bytes->pixels.begin() + 4, bytes->pixels.end()), (std::vector<int>{255, 255, 255, 255, 128, 128, 128, 255}));
}

}  // namespace
